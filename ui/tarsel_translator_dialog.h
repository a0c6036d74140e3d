#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <wx/clipbrd.h>
#include <wx/dialog.h>

#include "ui/language_list.h"

class translator;
class wxButton;
class wxTextCtrl;

// The program's only window. Runs on the user-interface thread, except
// MonitorClipboard, which runs on the monitoring worker and touches no
// control.
class tarselTranslatorDialog : public wxDialog {
public:
    tarselTranslatorDialog(wxWindow* parent, wxWindowID id, const wxString& title,
                           const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                           long style = wxDEFAULT_DIALOG_STYLE);
    // Stops the monitoring worker, aborting a translation in flight, and
    // waits for it: no worker outlives the dialog.
    ~tarselTranslatorDialog() override;

    virtual void OnTranslate(wxCommandEvent& event);
    virtual void OnClose(wxCloseEvent& event);
    virtual void FillLanguageLists();
    virtual void OnExitButton(wxCommandEvent& event);
    virtual void OnToggleMonitoring(wxCommandEvent& event);
    virtual void MonitorClipboard();

private:
    // Guards lastClipboardText, the worker's bookkeeping and the worker's use
    // of the translator; held by the worker for each whole check.
    std::mutex monitorMutex;
    std::unique_ptr<tarselTranslatorLanguageList> sourceList;
    std::unique_ptr<tarselTranslatorLanguageList> targetList;
    wxTextCtrl* inputText = nullptr;
    wxTextCtrl* outputText = nullptr;
    wxButton* translateButton = nullptr;
    wxButton* exitButton = nullptr;
    // The toolkit's clipboard. wxGTK answers other programs' requests from
    // this one object only: data set on a second instance never reaches them.
    wxClipboard& clipboard;
    // Written by the close handlers without the mutex.
    std::atomic<bool> monitoring{false};
    std::u16string lastClipboardText;
    translator* translatorPtr;

    // One worker at a time: switching on again while it still runs lets it
    // carry on. `closing` ends its pause at once.
    std::thread worker;
    bool workerRunning = false;
    bool closing = false;
    std::condition_variable monitorWake;

    // The catalogue names (Latin-1) of both lists' focused items; false when
    // a list has no focused item.
    bool focusedLanguageNames(std::string& sourceName, std::string& targetName) const;
    void stopMonitoring();

    wxDECLARE_EVENT_TABLE();
};
