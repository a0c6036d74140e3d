#include "app/tarsel_translator_app.h"

#include <wx/image.h>
#include <wx/log.h>

#include "support/logger.h"
#include "support/speech.h"
#include "ui/tarsel_translator_dialog.h"

wxIMPLEMENT_APP_NO_MAIN(tarselTranslatorAPP);

tarselTranslatorAPP::~tarselTranslatorAPP() = default;

// The command line is ignored: no default command-line processing.
bool tarselTranslatorAPP::OnInit()
{
    logger::open("log.log");
    speech::load();
    wxInitAllImageHandlers();
    dialog = new tarselTranslatorDialog(nullptr, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                        wxDEFAULT_DIALOG_STYLE);
    dialog->Show();
    return true;
}

void quietToolkit()
{
    wxSetAssertHandler(nullptr);
    wxLog::SetLogLevel(wxLOG_Info);
}
