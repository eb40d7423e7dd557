#include "Ferrule/HandlerBase.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"

#include <boost/format.hpp>

#include <cstdio>

HRESULT ExceptionToHresult(const char* function)
{
    try
    {
        throw;
    }
    catch (const Result& r)
    {
        // Failure severities are failure HRESULTs themselves; foreign Win32 numbers take facility 7.
        const uint32_t code = r.GetCode();
        HRESULT hr = static_cast<HRESULT>(code);
        if (code < kNativeFlag && code != 0)
            hr = HRESULT_FROM_WIN32(code);
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        return ReportHandlerFailure(hr, r); // inside a handler call, one of its failures

    }
    catch (const AssertionFailure& e)
    {
        const bool precondition = dynamic_cast<const PreconditionFailure*>(&e) != nullptr;
        Result r;
        r.Init(e.File().c_str(), e.Line(), function, precondition ? ERROR_PRECONDITION_FAILED : ERROR_CHECK_FAILED,
               Argument(Utf8ToUtf16(e.what())));
        return ReportHandlerFailure(E_UNEXPECTED, r);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (const std::exception& e)
    {
        SetErrorDescription(Utf8ToUtf16(e.what()));
        return E_FAIL;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}

bool ParseSerializedResult(const String& text, Result& result)
{
    return TryDeserializeResult(text, result);
}

String TypeText(eZD_NOTIFY_TYPE type)
{
    switch (type)
    {
    case NOTIFY_TYPE_ERROR: return StringRepository::GetString(IDS_TYPE_ERROR);
    case NOTIFY_TYPE_WARNING: return StringRepository::GetString(IDS_TYPE_WARNING);
    case NOTIFY_TYPE_INFO:
    case NOTIFY_TYPE_TEST: return StringRepository::GetString(IDS_TYPE_INFO);
    default: return StringRepository::GetString(IDS_TYPE_UNKNOWN);
    }
}

String PriorityText(eZD_NOTIFY_PRIORITY priority)
{
    switch (priority)
    {
    case NOTIFY_PRIORITY_HIGH: return StringRepository::GetString(IDS_PRIORITY_HIGH);
    case NOTIFY_PRIORITY_MEDIUM: return StringRepository::GetString(IDS_PRIORITY_MEDIUM);
    case NOTIFY_PRIORITY_LOW:
    case NOTIFY_PRIORITY_TEST: return StringRepository::GetString(IDS_PRIORITY_LOW);
    default: return StringRepository::GetString(IDS_PRIORITY_UNKNOWN);
    }
}

String TimeStampText(DATE timeStamp)
{
    // Notifications come in bursts within one second: the last text of this thread is kept.
    thread_local DATE lastStamp = -1e300;
    thread_local String lastText;
    if (timeStamp == lastStamp)
        return lastText;
    SYSTEMTIME st{};
    WCHAR date[128] = {0};
    WCHAR time[128] = {0};
    if (VariantTimeToSystemTime(timeStamp, &st))
    {
        if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 128) == 0)
            date[0] = 0;
        if (GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &st, nullptr, time, 128) == 0)
            time[0] = 0;
    }
    String text;
    text.reserve(64);
    text += date;
    text += u' ';
    text += time;
    lastStamp = timeStamp;
    lastText = text;
    return text;
}

String CodeText(ULONG code)
{
    // "0x%02X": upper-case hexadecimal, at least two digits.
    char16_t digits[8];
    int n = 0;
    do
    {
        digits[n++] = u"0123456789ABCDEF"[code & 15];
        code >>= 4;
    } while (code != 0);
    if (n < 2)
        digits[n++] = u'0';
    String text = u"0x";
    while (n > 0)
        text += digits[--n];
    return text;
}

String UmiSuffix(const String& description)
{
    const size_t colon = description.find(u':');
    if (colon == String::npos || colon <= 8)
        return String();
    uint32_t n = 0;
    if (!FromStringSafe(description.substr(colon - 8, 8), n, 16))
        return String();
    const uint32_t facility = (n >> 16) & 0xFFF;
    const uint32_t number = n & 0xFFFF;
    if (facility == 0 || number == 0)
        return String();
    return Utf8ToUtf16((boost::format(" (UMI:Q-281-%1%-%2%)\r\n") % facility % number).str());
}

Result HandlerFailure(const char* source, int line, const char* function, uint32_t code, const Argument& detail)
{
    Result r;
    r.Init(source, line, function, code, detail);
    return r;
}

Result Nest(Result newest, const Result& earlier)
{
    newest.GetArguments().push_back(Argument(earlier));
    return newest;
}

namespace
{
// The last failure this module's handlers made into error information on this thread, with its text:
// the manager takes the value when the error information it finds is still that text.
thread_local std::optional<TakenFailure> tPublished;
thread_local CallFailures* tCurrentCall = nullptr;

void PublishFailure(const Result& failure)
{
    TakenFailure published{failure.Serialize(), failure};
    SetErrorDescription(published.text);
    tPublished = std::move(published);
}
} // namespace

TakenFailure TakeHandlerFailure()
{
    TakenFailure taken{TakeErrorDescription(), std::nullopt};
    if (tPublished && tPublished->text == taken.text)
        taken.value = std::move(tPublished->value);
    tPublished.reset();
    return taken;
}

void FailureList::Add(const TakenFailure& failure)
{
    Result parsed;
    const Result* value = failure.value ? &*failure.value : nullptr;
    if (value == nullptr && ParseSerializedResult(failure.text, parsed))
        value = &parsed; // a handler from outside: its text is all there is
    if (mPlain.empty() && value != nullptr)
    {
        mOnlyText = mChain ? String() : failure.text;
        mChain = mChain ? Nest(*value, *mChain) : *value;
        return;
    }
    if (mChain)
        mPlain = Text();
    mChain.reset();
    mPlain += failure.text + u"\r\n";
}

void FailureList::Add(const Result& failure)
{
    if (!mPlain.empty())
    {
        mPlain += failure.Serialize() + u"\r\n";
        return;
    }
    mOnlyText.clear();
    mChain = mChain ? Nest(failure, *mChain) : failure;
}

String FailureList::Text() const
{
    if (!mPlain.empty())
        return mPlain;
    if (!mChain)
        return String();
    return mOnlyText.empty() ? mChain->Serialize() : mOnlyText;
}

CallFailures::CallFailures() : mOuter(std::exchange(tCurrentCall, this)) {}

CallFailures::~CallFailures()
{
    tCurrentCall = mOuter;
}

CallFailures* CallFailures::Current()
{
    return tCurrentCall;
}

void CallFailures::Add(const Result& failure)
{
    mChain = mChain ? Nest(failure, *mChain) : failure;
}

void CallFailures::Publish() const
{
    if (mChain)
        PublishFailure(*mChain);
}

HRESULT ReportHandlerFailure(HRESULT hr, Result result)
{
    if (CallFailures* call = CallFailures::Current())
        call->Add(result);
    else
        PublishFailure(result);
    return hr == S_OK ? DISP_E_EXCEPTION : hr;
}

HRESULT LastErrorHresult()
{
    const DWORD e = GetLastError();
    return e == 0 ? S_OK : static_cast<HRESULT>((e & 0xFFFF) | 0x80070000u);
}

HRESULT CopyOut(BSTR value, BSTR* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (*out != nullptr && SysStringLen(*out) > 0)
        Bstr::Adopt(std::exchange(*out, nullptr)); // released here
    *out = SysAllocStringLen(value ? value : u"", SysStringLen(value));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CopyIn(BSTR value, Bstr& field)
{
    Bstr copy = value ? Bstr(ToString(value)) : Bstr();
    if (value != nullptr && copy.Get() == nullptr)
        return E_OUTOFMEMORY;
    field = std::move(copy);
    return S_OK;
}

bool PassesFilter(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, uint32_t typeFilter, uint32_t priorityFilter)
{
    if (typeFilter != 0 && priorityFilter != 0 && type == NOTIFY_TYPE_TEST && priority == NOTIFY_PRIORITY_TEST)
        return true;
    return (static_cast<uint32_t>(type) & typeFilter) != 0 && (static_cast<uint32_t>(priority) & priorityFilter) != 0;
}

namespace
{
HRESULT InvokeProperty(IDispatch* object, DISPID id, WORD flags, VARIANT* value, VARIANT* result)
{
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {value, value ? &named : nullptr, value ? 1u : 0u, value ? 1u : 0u};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

// The rows of a table that the policy file keeps.
std::vector<const PersistRow*> KeptRows(const PersistTable& table)
{
    std::vector<const PersistRow*> rows;
    for (size_t i = 0; i < table.count; ++i)
        if (table.rows[i].row != nullptr)
            rows.push_back(&table.rows[i]);
    return rows;
}
} // namespace

HRESULT LoadRows(IDispatch* object, const PersistTable& table, IPropertyBag* bag, IErrorLog* errorLog)
{
    if (bag == nullptr)
        return E_INVALIDARG;
    for (const PersistRow* kept : KeptRows(table))
    {
        const PersistRow& row = *kept;
        Variant value;
        value->vt = row.stored;
        if (FAILED(bag->Read(row.row, &value.Get(), errorLog)))
        {
            SetErrorInfo(0, nullptr); // not the object's failure: the property keeps its value
            continue;
        }
        const WORD flags = (value->vt == VT_UNKNOWN || value->vt == VT_DISPATCH) ? DISPATCH_PROPERTYPUTREF
                                                                                   : DISPATCH_PROPERTYPUT;
        HRESULT hr = InvokeProperty(object, row.id, flags, &value.Get(), nullptr);
        if (hr == DISP_E_MEMBERNOTFOUND && flags == DISPATCH_PROPERTYPUTREF)
            hr = InvokeProperty(object, row.id, DISPATCH_PROPERTYPUT, &value.Get(), nullptr);
        if (FAILED(hr))
            return E_FAIL;
    }
    return S_OK;
}

HRESULT SaveRows(IDispatch* object, const PersistTable& table, IPropertyBag* bag)
{
    if (bag == nullptr)
        return E_INVALIDARG;
    for (const PersistRow* kept : KeptRows(table))
    {
        const PersistRow& row = *kept;
        Variant value;
        if (FAILED(InvokeProperty(object, row.id, DISPATCH_PROPERTYGET, nullptr, value.Out())))
            return E_FAIL;
        if (value->vt != row.stored && FAILED(VariantChangeType(&value.Get(), &value.Get(), 0, row.stored)))
            return E_FAIL;
        const HRESULT hr = bag->Write(row.row, &value.Get());
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

PersistTable PersistTableOf(REFCLSID clsid)
{
    const ClassRow* row = ClassRowOf(clsid);
    return row ? PersistTable{row->settings, row->settingCount} : PersistTable{nullptr, 0};
}
