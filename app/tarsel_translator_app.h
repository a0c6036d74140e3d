#pragma once

#include <wx/app.h>

class tarselTranslatorDialog;

// Opens the log, loads speech and shows the dialog; the toolkit's loop does
// the rest and ends when the dialog is gone.
class tarselTranslatorAPP : public wxApp {
public:
    ~tarselTranslatorAPP() override;
    bool OnInit() override;

private:
    tarselTranslatorDialog* dialog = nullptr;
};

wxDECLARE_APP(tarselTranslatorAPP);

// Switches the toolkit's assertions and debug logging off; called by the
// process entry before it hands over to the toolkit.
void quietToolkit();
