#include "ui/language_list.h"

#include <algorithm>

#include <gtk/gtk.h>
#include <wx/dataview.h>
#include <wx/settings.h>
#include <wx/stattext.h>

namespace {

wxDataViewListCtrl* listOf(wxWindow* control)
{
    return static_cast<wxDataViewListCtrl*>(control);
}

// Sort key that keeps accented initials among their plain letters
// ("Árabe" among the A's, "Ídiche" among the I's), as a user arrowing or
// typing through the list expects.
wxString sortKey(const wxString& label)
{
    static const wxString accented = wxString::FromUTF8("áàâãäçéèêëíìîïóòôõöúùûüÁÀÂÃÄÇÉÈÊËÍÌÎÏÓÒÔÕÖÚÙÛÜ");
    static const wxString plain = "aaaaaceeeeiiiiooooouuuuaaaaaceeeeiiiiooooouuuu";
    wxString key = label.Lower();
    for (auto it = key.begin(); it != key.end(); ++it) {
        const int at = accented.Find(*it);
        if (at != wxNOT_FOUND)
            *it = plain[at];
    }
    return key;
}

// wxGTK ties a label to the scrolled window around the tree view; the screen
// reader announces the label only when the focused tree view itself has it.
// The label names the list, so the list shows no header of its own: GTK
// makes a header a stop of its own for Shift+Tab.
void tieLabel(GtkWidget* treeView, wxStaticText* label)
{
    AtkObject* list = gtk_widget_get_accessible(treeView);
    AtkObject* text = gtk_widget_get_accessible(label->GetHandle());
    if (!list || !text)
        return;
    atk_object_add_relationship(list, ATK_RELATION_LABELLED_BY, text);
    atk_object_add_relationship(text, ATK_RELATION_LABEL_FOR, list);
    atk_object_set_name(list, label->GetLabel().utf8_str());
}

}  // namespace

tarselTranslatorLanguageList::tarselTranslatorLanguageList(wxWindow* parent, wxStaticText* label,
                                                           const wxString& heading, bool multipleSelection,
                                                           order itemOrder)
    : heading(heading), itemOrder(itemOrder)
{
    auto* list =
        new wxDataViewListCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                               (multipleSelection ? wxDV_MULTIPLE : wxDV_SINGLE) | wxDV_ROW_LINES | wxDV_NO_HEADER);
    list->AppendTextColumn(heading, wxDATAVIEW_CELL_INERT, wxCOL_WIDTH_AUTOSIZE, wxALIGN_LEFT, 0);
    GtkWidget* treeView = list->GtkGetTreeView();
    tieLabel(treeView, label);
    // The toolkit's best size shows a single row; show a useful part of the
    // list until FitColumn() knows its names.
    list->SetMinSize(list->FromDIP(wxSize(170, 240)));
    control = list;
}

long tarselTranslatorLanguageList::GetItemCount() const
{
    return static_cast<long>(listOf(control)->GetItemCount());
}

long tarselTranslatorLanguageList::InsertItem(long index, const wxString& label)
{
    wxDataViewListCtrl* list = listOf(control);
    const long count = GetItemCount();
    if (itemOrder == order::ascending) {
        // After every equal label, like the native sorted list.
        const wxString key = sortKey(label);
        long low = 0;
        for (long high = count; low < high;) {
            const long middle = (low + high) / 2;
            if (sortKey(list->GetTextValue(middle, 0)).compare(key) <= 0)
                low = middle + 1;
            else
                high = middle;
        }
        index = low;
    }
    index = std::clamp(index, 0L, count);
    wxVector<wxVariant> values;
    values.push_back(wxVariant(label));
    list->InsertItem(static_cast<unsigned>(index), values);
    return index;
}

long tarselTranslatorLanguageList::FindItem(const wxString& label) const
{
    const long count = GetItemCount();
    for (long row = 0; row < count; ++row) {
        if (listOf(control)->GetTextValue(row, 0) == label)
            return row;
    }
    return -1;
}

void tarselTranslatorLanguageList::Select(long index)
{
    listOf(control)->SelectRow(static_cast<unsigned>(index));
}

void tarselTranslatorLanguageList::Focus(long index)
{
    wxDataViewListCtrl* list = listOf(control);
    const wxDataViewItem item = list->RowToItem(static_cast<int>(index));
    list->SetCurrentItem(item);
    list->EnsureVisible(item);
}

long tarselTranslatorLanguageList::GetFocusedItem() const
{
    wxDataViewListCtrl* list = listOf(control);
    const wxDataViewItem item = list->GetCurrentItem();
    return item.IsOk() ? list->ItemToRow(item) : -1;
}

wxString tarselTranslatorLanguageList::GetItemText(long index) const
{
    return listOf(control)->GetTextValue(static_cast<unsigned>(index), 0);
}

// The header is hidden (the label names the list), so only the labels count:
// the longest one with the cell's padding, the vertical scroll bar and the
// frame around the tree view.
void tarselTranslatorLanguageList::FitColumn()
{
    wxDataViewListCtrl* list = listOf(control);
    int widest = 0;
    for (long row = 0; row < GetItemCount(); ++row)
        widest = std::max(widest, list->GetTextExtent(GetItemText(row)).x);
    const int width = widest + list->FromDIP(24) + wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, list);
    list->SetMinSize(wxSize(std::max(width, list->FromDIP(170)), list->FromDIP(240)));
}
