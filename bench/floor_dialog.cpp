// The start-up floor: a dialog of the same toolkit with one empty list of the
// kind the program's language lists are, shown as soon as the toolkit is up.
#include <wx/app.h>
#include <wx/dataview.h>
#include <wx/dialog.h>
#include <wx/sizer.h>

namespace {

class floorApp : public wxApp {
public:
    bool OnInit() override
    {
        auto* dialog = new wxDialog(nullptr, wxID_ANY, "Tarsel Floor");
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        auto* list = new wxDataViewListCtrl(dialog, wxID_ANY);
        list->AppendTextColumn("Idioma");
        sizer->Add(list, 1, wxEXPAND);
        dialog->SetSizerAndFit(sizer);
        dialog->Show();
        return true;
    }
};

}  // namespace

wxIMPLEMENT_APP(floorApp);
