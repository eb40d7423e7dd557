// The module's classes as registration writes them: the script of each (its resource number), its
// class identifier, description, ProgIDs and threading model. The tool finds the handlers by these
// ProgIDs too.
#pragma once

#include "Ferrule/Interfaces.h"

struct ClassRegistration
{
    int script;
    const CLSID* clsid;
    const char16_t* description;
    const char16_t* progId;
    const char16_t* versionIndependent;
    const char16_t* classProgId; // the ProgID value under the class key
    const char16_t* threading;
};

inline const ClassRegistration kClasses[] = {
    {101, &CLSID_Notify, u"Notify Class", u"Quellon.Notify.1", u"Quellon.Notify", u"Quellon.Notify.1", u"Both"},
    {102, &CLSID_NotifyEmail, u"NotifyEmail Class", u"Quellon.Notify.NotifyEmail.1", u"Quellon.Notify.NotifyEmail",
     u"Quellon.Notify.NotifyEmail.1", u"Apartment"},
    {103, &CLSID_NotifyLog, u"NotifyLog Class", u"Quellon.Notify.NotifyLog.1", u"Quellon.Notify.NotifyLog",
     u"Quellon.Notify.NotifyLog.1", u"Apartment"},
    {104, &CLSID_NotifySysEvent, u"NotifySysEvent Class", u"Quellon.Notify.NotifySysEvent.1",
     u"Quellon.Notify.NotifySysEvent", u"Quellon.Notify.NotifySysEvent.1", u"Apartment"},
    {105, &CLSID_NotifyApp, u"NotifyApp Class", u"Quellon.Notify.NotifyApp.1", u"Quellon.Notify.NotifyApp",
     u"Quellon.Notify.NotifyApp.1", u"Apartment"},
    {109, &CLSID_NotifySNMPTrap, u"NotifySNMPTrap Class", u"Quellon.Notify.NotifySNMPTrap.1",
     u"Quellon.Notify.NotifySNMPTrap", u"Quellon.Notify.NotifySNMPTrap.1", u"Apartment"},
    {110, &CLSID_NotifyConnPt, u"NotifyConnPt Class", u"Quellon.Notify.NotifyConnPt.1", u"Quellon.Notify.NotifyConnPt",
     u"Ferrule.NotifyConnPt.1", u"Apartment"},
    {111, &CLSID_NotifyWebhook, u"NotifyWebhook Class", u"Quellon.NotifyWebhook.1", u"Quellon.NotifyWebhook",
     u"Quellon.NotifyWebhook.1", u"Apartment"},
};
