#include "ui/text_limit.h"

#include <gtk/gtk.h>
#include <wx/textctrl.h>

// wxTextCtrl::SetMaxLength does nothing for a multi-line field on GTK, so the
// buffer's insertions are cut to the room left, as a native limit would.
namespace {

void onInsertText(GtkTextBuffer* buffer, GtkTextIter* location, gchar* text, gint length, gpointer limit)
{
    const gint maxCharacters = GPOINTER_TO_INT(limit);
    const gint room = maxCharacters - gtk_text_buffer_get_char_count(buffer);
    if (length < 0)
        length = static_cast<gint>(strlen(text));
    if (g_utf8_strlen(text, length) <= room)
        return;

    g_signal_stop_emission_by_name(buffer, "insert-text");
    if (room <= 0)
        return;
    const gchar* end = g_utf8_offset_to_pointer(text, room);
    g_signal_handlers_block_by_func(buffer, reinterpret_cast<gpointer>(onInsertText), limit);
    gtk_text_buffer_insert(buffer, location, text, static_cast<gint>(end - text));
    g_signal_handlers_unblock_by_func(buffer, reinterpret_cast<gpointer>(onInsertText), limit);
}

}  // namespace

void limitTextLength(wxTextCtrl* field, int maxCharacters)
{
    GtkWidget* scrolled = field->GetHandle();
    GtkWidget* view = GTK_IS_BIN(scrolled) ? gtk_bin_get_child(GTK_BIN(scrolled)) : nullptr;
    if (!view || !GTK_IS_TEXT_VIEW(view)) {
        field->SetMaxLength(maxCharacters);
        return;
    }
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    g_signal_connect(buffer, "insert-text", G_CALLBACK(onInsertText), GINT_TO_POINTER(maxCharacters));
}
