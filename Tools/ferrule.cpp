// The ferrule command-line tool. The notification manager it drives is not built yet, so for now it
// only says what it will do and shows that the platform layer it stands on is in place.
#include "Platform/Com/OleAuto.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>

int main()
{
    std::puts("ferrule: placeholder until the notification manager exists.\n"
              "It will load the notification module, read the policy file ferrule.notify.xml (or the\n"
              "built-in defaults), send one demo notification and show the log line it produced.");
    WCHAR text[256];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(E_ACCESSDENIED), 0, text, 256, nullptr);
    std::printf("platform layer check: 0x80070005 reads \"%s\"\n",
                n ? Utf16ToUtf8(std::u16string_view(text, n > 2 ? n - 2 : n)).c_str() : "(no text)");
    return n ? 0 : 1;
}
