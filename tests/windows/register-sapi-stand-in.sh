#!/usr/bin/env bash
# Registers the recording stand-in for SAPI's voice class (sapi_voice_stub.cpp)
# in the Wine prefix $WINEPREFIX, with two voices: "TestPortuguese"
# (pt-BR, 416) and "TestEnglish" (en-US, 409, and English as a whole, 9).
# Usage: register-sapi-stand-in.sh STUB-DLL
set -euo pipefail
dll=Z:$(realpath "$1" | tr / '\\')
class='HKLM\Software\Classes\CLSID\{96749377-3391-11D2-9EE3-00C04F797396}\InprocServer32'
voices='HKLM\Software\Microsoft\Speech\Voices\Tokens'
run() { timeout 120 wine reg add "$@" /f >/dev/null 2>&1; }
run "$class" /ve /d "$dll"
run "$class" /v ThreadingModel /d Both
run "$voices\\TestPortuguese\\Attributes" /v Language /d 416
run "$voices\\TestEnglish\\Attributes" /v Language /d '409;9'
