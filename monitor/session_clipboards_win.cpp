#include "monitor/session_clipboards.h"

// Windows keeps one clipboard.
tarselTranslatorClipboardAccess withSessionClipboards(tarselTranslatorClipboardAccess platform)
{
    return platform;
}
