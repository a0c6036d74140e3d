#pragma once

#include <wx/string.h>

class wxStaticText;
class wxWindow;

// A one-column list of language names that a screen reader can read: the
// native list view on Windows, a GtkTreeView on GTK (the toolkit's generic
// list is invisible to assistive technologies there). Offers what the dialog
// uses of a list view; indexes are rows, -1 means none.
class tarselTranslatorLanguageList {
public:
    enum class order { insertion, ascending };

    // Creates the control as a child of `parent`, labelled by `label` for
    // assistive technologies, with one column headed `heading`.
    tarselTranslatorLanguageList(wxWindow* parent, wxStaticText* label, const wxString& heading, bool multipleSelection,
                                 order itemOrder);

    tarselTranslatorLanguageList(const tarselTranslatorLanguageList&) = delete;
    tarselTranslatorLanguageList& operator=(const tarselTranslatorLanguageList&) = delete;

    // The control itself; a child window owned by the parent.
    wxWindow* GetWindow() const { return control; }

    long GetItemCount() const;
    // Inserts at `index`, or at the label's place in an ascending list;
    // returns where the item went.
    long InsertItem(long index, const wxString& label);
    // The first item whose whole label is `label`, or -1.
    long FindItem(const wxString& label) const;
    void Select(long index);
    void Focus(long index);
    long GetFocusedItem() const;
    wxString GetItemText(long index) const;
    // Sizes the column, and the control's least width with it, so that the
    // heading and the longest label show whole at the window's DPI. Call once
    // the list is filled, then fit the parent's sizer again.
    void FitColumn();

private:
    wxWindow* control;
    wxString heading;
    order itemOrder;
};
