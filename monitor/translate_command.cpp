#include <wx/textctrl.h>
#include <wx/utils.h>

#include "monitor/spoken_messages.h"
#include "support/speech.h"
#include "translate/translator.h"
#include "ui/tarsel_translator_dialog.h"
#include "ui/toolkit_text.h"

void tarselTranslatorDialog::OnTranslate(wxCommandEvent& event) {
    if (wxGetKeyState(WXK_SHIFT)) {
        // Shift+Enter belongs to the field: a line break. A Shift+click on
        // "Traduzir" is not passed on: the dialog's own handling of its
        // affirmative button would hide the only window and leave the
        // program running unseen.
        if (event.GetEventObject() == inputText) event.Skip();
        return;
    }
    outputText->Clear();

    std::string sourceName;
    std::string targetName;
    if (!focusedLanguageNames(sourceName, targetName) || inputText->IsEmpty()) return;
    const std::u16string text = fromWx(inputText->GetValue());
    inputText->Clear();

    translatorPtr->setLanguages(sourceName, targetName);
    std::pair<std::string, std::string> usedCodes;
    const std::u16string translation = translatorPtr->translate(text, &usedCodes);
    if (translation.empty()) {
        spokenMessages::say(spokenMessages::translationFailed);
        return;
    }
    speech::speak(translation, usedCodes.second);
    const wxString shown = toWx(translation);
    outputText->AppendText(shown);
    clipboard.Open();
    clipboard.SetData(new wxTextDataObject(shown));
    clipboard.Close();
}
