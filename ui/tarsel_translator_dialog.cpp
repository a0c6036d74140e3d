#include "ui/tarsel_translator_dialog.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <wx/utils.h>

#include "support/text_conversion.h"
#include "translate/translator.h"
#include "ui/language_catalogue.h"
#include "ui/text_limit.h"
#include "ui/toolkit_text.h"

namespace {

constexpr wxWindowID translateId = 5100;
constexpr wxWindowID exitId = 5101;
constexpr int toggleMonitoringId = 6000;
constexpr int maxInputCharacters = 5000;

wxBoxSizer* addColumn(wxFlexGridSizer* grid)
{
    auto* column = new wxBoxSizer(wxVERTICAL);
    grid->Add(column, 1, wxEXPAND, 0);
    return column;
}

// GTK complains, and draws badly, when a field is given less room than its
// scroll bars need: leave room for a few lines besides both bars.
void leaveRoomForScrollBars(wxTextCtrl* field)
{
    const int bar = wxSystemSettings::GetMetric(wxSYS_HSCROLL_Y, field);
    wxSize least(field->GetCharWidth() * 12 + bar, field->GetCharHeight() * 3 + bar);
    least.IncTo(field->GetBestSize());
    field->SetMinSize(least);
}

wxString latin1Label(const std::string& bytes)
{
    return toWx(latin1ToWide(bytes));
}

}  // namespace

wxBEGIN_EVENT_TABLE(tarselTranslatorDialog, wxDialog)
    EVT_BUTTON(translateId, tarselTranslatorDialog::OnTranslate)
    EVT_BUTTON(exitId, tarselTranslatorDialog::OnExitButton)
    EVT_CLOSE(tarselTranslatorDialog::OnClose)
wxEND_EVENT_TABLE()

tarselTranslatorDialog::tarselTranslatorDialog(wxWindow* parent, wxWindowID id, const wxString& title,
                                               const wxPoint& pos, const wxSize& size, long style)
    : wxDialog(parent, id, title, pos, size, style),
      translatorPtr(&translationService),
      monitor(systemServices(), systemClipboard(), [this] { MonitorClipboard(); }),
      command(systemServices(), [this](std::uint64_t ticket, const std::u16string& translation) {
          CallAfter([this, ticket, translation] { ShowTranslation(ticket, translation); });
      })
{
    SetTitle("Tarsel Translator");

    auto* mainSizer = new wxBoxSizer(wxVERTICAL);
    auto* grid = new wxFlexGridSizer(1, 5, 0, 5);
    mainSizer->Add(grid, 1, wxEXPAND, 0);

    // Each label is created right before its control, which ties the two
    // together for assistive technologies.
    wxBoxSizer* column = addColumn(grid);
    column->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8("Tradução")), 0, 0, 0);
    outputText = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                wxTE_READONLY | wxTE_MULTILINE | wxTE_CENTRE | wxHSCROLL);
    leaveRoomForScrollBars(outputText);
    column->Add(outputText, 0, wxEXPAND | wxALL, 5);

    column = addColumn(grid);
    auto* sourceLabel = new wxStaticText(this, wxID_ANY, "Idioma de origem");
    column->Add(sourceLabel, 0, 0, 0);
    sourceList = std::make_unique<tarselTranslatorLanguageList>(this, sourceLabel, "Idioma de origem", true,
                                                                tarselTranslatorLanguageList::order::insertion);
    column->Add(sourceList->GetWindow(), 1, wxEXPAND | wxALL, 5);

    column = addColumn(grid);
    auto* targetLabel = new wxStaticText(this, wxID_ANY, "Idioma de destino");
    column->Add(targetLabel, 0, 0, 0);
    targetList = std::make_unique<tarselTranslatorLanguageList>(this, targetLabel, "Idioma de destino", false,
                                                                tarselTranslatorLanguageList::order::ascending);
    column->Add(targetList->GetWindow(), 1, wxEXPAND | wxALL, 5);

    column = addColumn(grid);
    column->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8("Texto à traduzir")), 0, 0, 0);
    inputText = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                               wxTE_MULTILINE | wxTE_PROCESS_ENTER | wxTE_CENTRE | wxHSCROLL);
    leaveRoomForScrollBars(inputText);
    inputText->Bind(wxEVT_TEXT_ENTER, &tarselTranslatorDialog::OnTranslate, this);
    column->Add(inputText, 0, wxEXPAND, 0);

    auto* buttonRow = new wxBoxSizer(wxHORIZONTAL);
    translateButton = new wxButton(this, translateId, "Traduzir");
    buttonRow->Add(translateButton, 0, wxALL, 5);
    exitButton = new wxButton(this, exitId, "Sair");
    buttonRow->Add(exitButton, 0, wxALL, 5);
    translateButton->SetDefault();
    SetAffirmativeId(translateId);
    SetEscapeId(exitId);

    mainSizer->Add(buttonRow, 0, wxALIGN_RIGHT, 0);
    SetSizerAndFit(mainSizer);

    wxAcceleratorEntry f1(wxACCEL_NORMAL, WXK_F1, toggleMonitoringId);
    SetAcceleratorTable(wxAcceleratorTable(1, &f1));
    Bind(wxEVT_MENU, &tarselTranslatorDialog::OnToggleMonitoring, this, toggleMonitoringId);

    FillLanguageLists();
    // The lists' best widths are known only now that they hold their names.
    sourceList->FitColumn();
    targetList->FitColumn();
    GetSizer()->SetSizeHints(this);
    // A user who starts the program wants to type the text first.
    inputText->SetFocus();
}

tarselTranslatorDialog::~tarselTranslatorDialog()
{
    stopWorkers();
}

void tarselTranslatorDialog::stopWorkers()
{
    latestTicket = 0;
    // The monitor's stop aborts every transfer, the command's among them.
    monitor.stop();
    command.stop();
}

void tarselTranslatorDialog::OnTranslate(wxCommandEvent& event)
{
    if (wxGetKeyState(WXK_SHIFT)) {
        // Shift+Enter is the field's line break. A Shift+click is dropped: passed on,
        // it would make the dialog hide its only window as an affirmative button.
        if (event.GetEventObject() == inputText)
            event.Skip();
        return;
    }
    outputText->Clear();
    const auto names = focusedLanguageNames();
    if (!names || inputText->IsEmpty())
        return;
    const std::u16string text = fromWx(inputText->GetValue());
    inputText->Clear();
    latestTicket = command.run(names->first, names->second, text);
}

void tarselTranslatorDialog::ShowTranslation(std::uint64_t ticket, const std::u16string& translation)
{
    if (ticket != latestTicket)
        return;
    outputText->AppendText(toWx(translation));
    // Through our own clipboard access, not the toolkit's: wxGTK, when it
    // exits, clears the clipboard of whoever owns it then, even a clipboard
    // manager that has just saved our text.
    monitor.writeOwnText(translation);
}

void tarselTranslatorDialog::OnToggleMonitoring(wxCommandEvent&)
{
    monitor.toggle(focusedLanguageNames());
}

void tarselTranslatorDialog::MonitorClipboard()
{
    monitor.runWorker();
}

void tarselTranslatorDialog::FillLanguageLists()
{
    for (const std::string& line : split(std::string(languageTable), '\n')) {
        const std::vector<std::string> fields = split(line, '=');
        if (fields.size() < 2)
            continue;
        const wxString label = latin1Label(fields[0]);
        sourceList->InsertItem(sourceList->GetItemCount(), label);
        targetList->InsertItem(targetList->GetItemCount(), label);
        translatorPtr->languages[fields[0]] = fields[1];
    }
    const std::string automatic = "Autom"
                                  "\xE1"
                                  "tico";
    sourceList->InsertItem(0, latin1Label(automatic));
    translatorPtr->languages[automatic] = "auto";

    const auto selectDefault = [](tarselTranslatorLanguageList& list, const char* utf8Name) {
        const long item = list.FindItem(wxString::FromUTF8(utf8Name));
        if (item < 0)
            return;
        list.Select(item);
        list.Focus(item);
    };
    selectDefault(*sourceList, "Português");
    selectDefault(*targetList, "Inglês");

    limitTextLength(inputText, maxInputCharacters);
}

std::optional<std::pair<std::string, std::string>> tarselTranslatorDialog::focusedLanguageNames() const
{
    const long sourceItem = sourceList->GetFocusedItem();
    const long targetItem = targetList->GetFocusedItem();
    if (sourceItem < 0 || targetItem < 0)
        return std::nullopt;
    return std::pair{wideToLatin1(fromWx(sourceList->GetItemText(sourceItem))),
                     wideToLatin1(fromWx(targetList->GetItemText(targetItem)))};
}

void tarselTranslatorDialog::OnClose(wxCloseEvent& event)
{
    stopWorkers();
    Destroy();
    // Destruction waits for idle time, which an accessibility action does not
    // bring about by itself.
    wxWakeUpIdle();
    event.Skip();
}

void tarselTranslatorDialog::OnExitButton(wxCommandEvent&)
{
    stopWorkers();
    Destroy();
    wxWakeUpIdle();
}
