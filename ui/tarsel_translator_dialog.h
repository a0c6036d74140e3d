#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <wx/dialog.h>

#include "monitor/clipboard_monitor.h"
#include "monitor/translate_command.h"
#include "ui/language_list.h"

class translator;
class wxButton;
class wxTextCtrl;

// The program's only window. Runs on the user-interface thread, except
// MonitorClipboard, which runs on the monitoring worker and touches no
// control. The commands' work runs off this thread: no handler waits on the
// network, a clipboard owner or the speech daemon.
class tarselTranslatorDialog : public wxDialog {
public:
    tarselTranslatorDialog(wxWindow* parent, wxWindowID id, const wxString& title,
                           const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                           long style = wxDEFAULT_DIALOG_STYLE);
    // Stops the workers, aborting translations in flight, and waits for
    // them: no worker outlives the dialog.
    ~tarselTranslatorDialog() override;

    virtual void OnTranslate(wxCommandEvent& event);
    virtual void OnClose(wxCloseEvent& event);
    virtual void FillLanguageLists();
    virtual void OnExitButton(wxCommandEvent& event);
    virtual void OnToggleMonitoring(wxCommandEvent& event);
    virtual void MonitorClipboard();

private:
    std::unique_ptr<tarselTranslatorLanguageList> sourceList;
    std::unique_ptr<tarselTranslatorLanguageList> targetList;
    wxTextCtrl* inputText = nullptr;
    wxTextCtrl* outputText = nullptr;
    wxButton* translateButton = nullptr;
    wxButton* exitButton = nullptr;
    translator* translatorPtr;
    tarselTranslatorClipboardMonitor monitor;
    tarselTranslatorTranslateCommand command;
    // The typed translation to show; an older one arriving late is dropped.
    std::uint64_t latestTicket = 0;

    // The catalogue names (Latin-1) of both lists' focused items; nothing
    // when a list has no focused item.
    std::optional<std::pair<std::string, std::string>> focusedLanguageNames() const;
    void ShowTranslation(std::uint64_t ticket, const std::u16string& translation);
    void stopWorkers();

    wxDECLARE_EVENT_TABLE();
};
