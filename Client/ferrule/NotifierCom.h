// The COM layer under a ferrule::Notifier, for programs that change handler settings through the
// manager's interfaces: the interfaces, their identifiers and the platform's COM types (BSTR, VARIANT,
// HRESULT, ...), which this header brings into the global namespace as the module declares them.
#pragma once

#include "ferrule/Notifier.h"

#include "Ferrule/Interfaces.h"
#include "Platform/Com/Activation.h"
#include "Platform/Com/OleAuto.h"
#include "Platform/Com/Owners.h"

namespace ferrule
{
// The manager underneath (null when the construction failed or the Notifier was moved from). The
// Notifier keeps its reference: AddRef it to keep the manager longer.
inline INotify* manager(const Notifier& notifier)
{
    return static_cast<INotify*>(detail::ManagerOf(notifier));
}
} // namespace ferrule
