#pragma once

#include "monitor/command_services.h"

// The platform's clipboard access, joined at start-up with any other
// clipboard the session keeps apart from it (one file per platform).
tarselTranslatorClipboardAccess withSessionClipboards(tarselTranslatorClipboardAccess platform);
