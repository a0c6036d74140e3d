#include "ui/language_list.h"

#include <algorithm>

#include <wx/listctrl.h>
#include <wx/settings.h>

namespace {

wxListView* listOf(wxWindow* control)
{
    return static_cast<wxListView*>(control);
}

}  // namespace

// The native list view reaches screen readers by itself; the label needs no tie.
tarselTranslatorLanguageList::tarselTranslatorLanguageList(wxWindow* parent, wxStaticText*, const wxString& heading,
                                                           bool multipleSelection, order itemOrder)
    : heading(heading), itemOrder(itemOrder)
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

// The list view measures its items itself; the heading, measured here, gets
// the header's padding on both sides. The control then needs room for the
// column, the vertical scroll bar and its border.
void tarselTranslatorLanguageList::FitColumn()
{
    wxListView* list = listOf(control);
    list->SetColumnWidth(0, wxLIST_AUTOSIZE);
    const int column = std::max(list->GetColumnWidth(0), list->GetTextExtent(heading).x + list->FromDIP(16));
    list->SetColumnWidth(0, column);
    const int width = column + wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, list) + 2 * list->GetWindowBorderSize().x;
    list->SetMinSize(wxSize(width, list->FromDIP(240)));
}
