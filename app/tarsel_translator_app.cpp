#include "app/tarsel_translator_app.h"

#include <wx/clipbrd.h>
#include <wx/image.h>
#include <wx/log.h>

#include "support/logger.h"
#include "support/speech.h"
#include "ui/tarsel_translator_dialog.h"

wxIMPLEMENT_APP_NO_MAIN(tarselTranslatorAPP);

tarselTranslatorAPP::~tarselTranslatorAPP() = default;

// The command line is ignored: no default command-line processing.
bool tarselTranslatorAPP::OnInit() {
    logger::open("log.log");
    speech::load();
    wxInitAllImageHandlers();
    dialog = new tarselTranslatorDialog(nullptr, wxID_ANY, wxEmptyString, wxDefaultPosition,
                                        wxDefaultSize, wxDEFAULT_DIALOG_STYLE);
    dialog->Show();
    return true;
}

// What the translate command put on the toolkit's clipboard is to outlive
// us: wxMSW empties the clipboard on exit unless it was flushed
// (OleFlushClipboard); wxGTK asks the clipboard manager to copy it
// (gtk_clipboard_store, which returns at once when no manager runs).
int tarselTranslatorAPP::OnExit() {
    wxTheClipboard->Flush();
    return wxApp::OnExit();
}

void quietToolkit() {
    wxSetAssertHandler(nullptr);
    wxLog::SetLogLevel(wxLOG_Info);
}
