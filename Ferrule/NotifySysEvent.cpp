#include "Ferrule/NotifySysEvent.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/EventLog.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>

CNotifySysEvent::CNotifySysEvent()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_SYSLOG));
}

FERRULE_CLASS_FACTORY(NotifySysEvent, CNotifySysEvent)

const IID* const* CNotifySysEvent::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifySysEvent, nullptr};
    return iids;
}

namespace
{
// A text as the system log takes it: its strings end at a NUL, so a NUL is shown as "^@" (the caret
// notation syslog readers see for other control characters) and nothing after it is lost.
String WithoutNul(BSTR text)
{
    const std::u16string_view view = ToView(text);
    if (view.find(u'\0') == std::u16string_view::npos)
        return String(view);
    String out;
    for (char16_t c : view)
        if (c == u'\0')
            out += u"^@";
        else
            out += c;
    return out;
}
} // namespace

HRESULT CNotifySysEvent::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    // The source: the application name with its first "&" as "and".
    String sourceName = WithoutNul(application);
    const size_t amp = sourceName.find(u'&');
    if (amp != String::npos)
        sourceName.replace(amp, 1, u"and");
    const EventSourceOwner eventLog(RegisterEventSourceW(nullptr, sourceName.c_str()));
    if (eventLog.Get() == nullptr)
    {
        const HRESULT hr = LastErrorHresult();
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifySysEvent", "CNotifySysEvent::Notify", NOTIFY_ERROR_EVENTLOG_OPEN_FAILED));
    }
    const String text = WithoutNul(description);
    const String sourceText = WithoutNul(source);
    const String entry = StringRepository::FormatString(
        IDS_SYSLOG_ENTRY_FORMAT,
        {Argument(type == NOTIFY_TYPE_ERROR ? text + UmiSuffix(text) : text), Argument(String()), Argument(sourceText)});
    const WORD category = priority == NOTIFY_PRIORITY_HIGH ? 1 : priority == NOTIFY_PRIORITY_MEDIUM ? 2 : 3;
    LPCWSTR strings[] = {entry.c_str()};
    // What the journal keeps beside the entry, for readers to filter on.
    std::vector<std::pair<std::string, std::string>> fields = {
        {"FERRULE_CODE", HexCode(code)},
        {"FERRULE_TYPE", TypeWord(type)},
        {"FERRULE_PRIORITY", PriorityWord(priority)},
        {"FERRULE_SOURCE", Utf16ToUtf8(sourceText)},
        {"FERRULE_APPLICATION", Utf16ToUtf8(WithoutNul(application))},
    };
    if (!ReportEventWithFields(eventLog.Get(), static_cast<WORD>(type), category, 100, 1, strings, std::move(fields)))
    {
        const HRESULT hr = LastErrorHresult();
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifySysEvent", "CNotifySysEvent::Notify", NOTIFY_ERROR_EVENTLOG_WRITE_FAILED));
    }
    return S_OK;
}
