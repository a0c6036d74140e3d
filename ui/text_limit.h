#pragma once

class wxTextCtrl;

// Caps a multi-line field at `maxCharacters`, typed or pasted: text beyond
// the room left is not inserted.
void limitTextLength(wxTextCtrl* field, int maxCharacters);
