#include "SyslogSink.h"

// Every test program that creates managers delivers event-log entries to the program's sink.
static const bool gSyslogSink = (SyslogSink::Instance(), true);
