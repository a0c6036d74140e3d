#include "ui/language_list.h"

#include <wx/listctrl.h>

namespace {

wxListView* listOf(wxWindow* control)
{
    return static_cast<wxListView*>(control);
}

}  // namespace

// The native list view reaches screen readers by itself; the label needs no tie.
tarselTranslatorLanguageList::tarselTranslatorLanguageList(wxWindow* parent, wxStaticText*, const wxString& heading,
                                                           bool multipleSelection, order itemOrder)
    : itemOrder(itemOrder)
{
    long style = wxLC_REPORT;
    if (!multipleSelection)
        style |= wxLC_SINGLE_SEL;
    if (itemOrder == order::ascending)
        style |= wxLC_SORT_ASCENDING | wxLC_HRULES | wxLC_VRULES;
    auto* list = new wxListView(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, style);
    list->AppendColumn(heading, wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE);
    control = list;
}

long tarselTranslatorLanguageList::GetItemCount() const
{
    return listOf(control)->GetItemCount();
}

long tarselTranslatorLanguageList::InsertItem(long index, const wxString& label)
{
    return listOf(control)->InsertItem(index, label);
}

long tarselTranslatorLanguageList::FindItem(const wxString& label) const
{
    return listOf(control)->FindItem(-1, label);
}

void tarselTranslatorLanguageList::Select(long index)
{
    listOf(control)->Select(index);
}

void tarselTranslatorLanguageList::Focus(long index)
{
    listOf(control)->Focus(index);
}

long tarselTranslatorLanguageList::GetFocusedItem() const
{
    return listOf(control)->GetFocusedItem();
}

wxString tarselTranslatorLanguageList::GetItemText(long index) const
{
    return listOf(control)->GetItemText(index, 0);
}
