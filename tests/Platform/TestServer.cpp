// The test in-process server: one class, CSample, behind the two entry points.
#include "Sample.h"

namespace
{
ComClassEntry gClasses[] = {{&CLSID_Sample, &ComCreator<CSample>::CreateInstance, nullptr}};
std::mutex gClassesMutex;
} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                             void** object)
{
    return ComGetClassObject(gClasses, 1, gClassesMutex, clsid, iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow()
{
    return ComCanUnloadNow();
}
