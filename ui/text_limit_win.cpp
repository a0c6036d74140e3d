#include "ui/text_limit.h"

#include <wx/textctrl.h>

void limitTextLength(wxTextCtrl* field, int maxCharacters)
{
    field->SetMaxLength(maxCharacters);
}
