// The frame of IOutboxHandler::Redeliver for the handlers that keep entries: the entry read, the
// handler's own send, and what the send found of the destination marked for the notifications that come
// next (only the handler knows the destination's key: a URL may hold a secret the entry does not).
#pragma once

#include "Ferrule/HandlerBase.h"
#include "Ferrule/Outbox.h"
#include "Platform/Win32/Utf.h"

struct Redelivered
{
    OutboxOutcome outcome;
    String failure; // why it is not delivered, or what stays reported of a delivery
};

// send(entry, payload) sends the entry again with the handler's current settings.
template <class Send>
HRESULT RedeliverFrame(const char* function, BSTR entryText, const std::string& destination, OutboxOutcome* outcome,
                       BSTR* failure, Send send)
{
    if (outcome == nullptr || failure == nullptr)
        return E_POINTER;
    return Boundary(function, [&]() -> HRESULT {
        const nlohmann::json entry = nlohmann::json::parse(Utf16ToUtf8(ToView(entryText)), nullptr, false);
        if (!entry.is_object() || !entry.contains("payload") || !entry["payload"].is_object())
            return E_INVALIDARG;
        const Redelivered r = send(entry, entry["payload"]);
        if (r.outcome == OUTBOX_DELIVERED)
            outbox::MarkUp(destination);
        else if (r.outcome == OUTBOX_TRANSIENT)
            outbox::MarkDown(destination);
        *outcome = r.outcome;
        return CopyOut(Bstr(r.failure), failure);
    });
}
