#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/dataview.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <vector>

#include "support/text_conversion.h"
#include "translate/translator.h"
#include "ui/tarsel_translator_dialog.h"
#include "ui/toolkit_text.h"

namespace {

// The real dialog, built once on a real display, as the program builds it.
class dialogTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "ui_test";
        static char* argv[] = {name, nullptr};
        wxApp::SetInstance(new wxApp);
        ASSERT_TRUE(wxEntryStart(argc, argv));
        dialog = new tarselTranslatorDialog(nullptr, wxID_ANY, wxEmptyString);
        for (wxWindow* child : dialog->GetChildren()) {
            if (auto* list = dynamic_cast<wxDataViewListCtrl*>(child))
                lists.push_back(list);
            if (auto* text = dynamic_cast<wxTextCtrl*>(child))
                fields.push_back(text);
        }
    }
    static void TearDownTestSuite()
    {
        delete dialog;
        wxEntryCleanup();
    }

    static std::vector<wxString> labels(wxDataViewListCtrl* list)
    {
        std::vector<wxString> result;
        for (unsigned row = 0; row < static_cast<unsigned>(list->GetItemCount()); ++row)
            result.push_back(list->GetTextValue(row, 0));
        return result;
    }
    static wxString current(wxDataViewListCtrl* list)
    {
        const wxDataViewItem item = list->GetCurrentItem();
        return item.IsOk() && list->IsSelected(item) ? list->GetTextValue(list->ItemToRow(item), 0) : wxString();
    }

    static inline tarselTranslatorDialog* dialog = nullptr;
    static inline std::vector<wxDataViewListCtrl*> lists;
    static inline std::vector<wxTextCtrl*> fields;
};

TEST_F(dialogTest, fillsBothListsWithTheCatalogue)
{
    ASSERT_EQ(lists.size(), 2u);
    const std::vector<wxString> source = labels(lists[0]);
    const std::vector<wxString> target = labels(lists[1]);
    ASSERT_EQ(source.size(), 105u);
    EXPECT_EQ(source[0], wxString::FromUTF8("Automático"));
    EXPECT_EQ(source[1], wxString::FromUTF8("Africâner"));
    EXPECT_EQ(current(lists[0]), wxString::FromUTF8("Português"));

    ASSERT_EQ(target.size(), 104u);
    EXPECT_EQ(std::count(target.begin(), target.end(), wxString::FromUTF8("Automático")), 0);
    EXPECT_EQ(current(lists[1]), wxString::FromUTF8("Inglês"));
    // Accented initials sit among their plain letters.
    const auto at = [&](const char* utf8) {
        return std::find(target.begin(), target.end(), wxString::FromUTF8(utf8)) - target.begin();
    };
    EXPECT_LT(at("Amárico"), at("Árabe"));
    EXPECT_LT(at("Árabe"), at("Armênio"));
    EXPECT_LT(at("Hindi"), at("Hmong"));
    EXPECT_LT(at("Ídiche"), at("Igbo"));
    EXPECT_EQ(at("Zulu"), 103);
}

TEST_F(dialogTest, everyLabelResolvesToItsCode)
{
    const auto& languages = translationService.languages;
    EXPECT_EQ(languages.size(), 105u);
    const struct {
        const char* utf8Name;
        const char* code;
    } samples[] = {
        {"Automático", "auto"},
        {"Chinês (simplificado)", "zh-CN"},
        {"Chinês (tradicional)", "zh-TW"},
        {"Hebraico", "he"},
        {"Javanês", "jw"},
        {"Havaiano", "haw"},
        {"Alemão", "de"},
        {"Português", "pt"},
        {"Inglês", "en"},
    };
    for (const auto& sample : samples) {
        const std::string name = wideToLatin1(fromWx(wxString::FromUTF8(sample.utf8Name)));
        ASSERT_EQ(languages.count(name), 1u) << sample.utf8Name;
        EXPECT_EQ(languages.at(name), sample.code) << sample.utf8Name;
    }
    EXPECT_EQ(wideToLatin1(fromWx(wxString::FromUTF8("Alemão"))), "\x41\x6C\x65\x6D\xE3\x6F");
    for (wxDataViewListCtrl* list : lists) {
        for (const wxString& label : labels(list)) {
            EXPECT_EQ(languages.count(wideToLatin1(fromWx(label))), 1u) << label.utf8_str();
        }
    }
}

TEST_F(dialogTest, inputTakesAtMost5000Characters)
{
    wxTextCtrl* input = nullptr;
    for (wxTextCtrl* field : fields) {
        if (field->IsEditable())
            input = field;
    }
    ASSERT_NE(input, nullptr);
    input->AppendText(wxString(wxUniChar(0x00E7), 4990));
    input->AppendText(wxString('x', 1000));
    EXPECT_EQ(input->GetValue().length(), 5000u);
    EXPECT_EQ(input->GetValue().Last(), 'x');
    input->Clear();
}

}  // namespace
