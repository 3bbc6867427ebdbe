#include "platform/linux/X11LastInput.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/extensions/sync.h>

#include <cstring>

#include "platform/ClockInput.h"
#include "platform/linux/X11Display.h"

namespace rl::x11 {

namespace {

// Asking the server costs a round trip (about 50 us), more than the whole
// rest of a monitor tick. So the answer is kept, and asked again only
// - while the user is active (idle below kQuietMs),
// - when the server's alarm says that input ended a quiet spell,
// - and at least every kRecheckMs, in case an alarm got lost.
constexpr std::uint32_t kQuietMs = 1000;
constexpr std::uint32_t kRecheckMs = 1000;

struct Tracker {
    unsigned generation = 0;
    bool screenSaver = false;
    XScreenSaverInfo* info = nullptr;
    int syncEventBase = 0;
    XSyncAlarm alarm = None;
    bool quiet = false;       // idle was at least kQuietMs at the last answer
    std::uint32_t lastInput = 0;
    std::uint32_t askedAt = 0;
};

Tracker gTracker;

// An alarm that fires when the server's idle counter drops from kQuietMs or
// more to below it: input after a quiet spell.
XSyncAlarm CreateInputAlarm(Display* d, int& eventBase) {
    int errorBase = 0, major = 0, minor = 0;
    if (!XSyncQueryExtension(d, &eventBase, &errorBase) || !XSyncInitialize(d, &major, &minor)) return None;
    int count = 0;
    XSyncSystemCounter* counters = XSyncListSystemCounters(d, &count);
    XSyncCounter idle = None;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(counters[i].name, "IDLETIME") == 0) idle = counters[i].counter;
    }
    if (counters != nullptr) XSyncFreeSystemCounterList(counters);
    if (idle == None) return None;

    XSyncAlarmAttributes attrs{};
    attrs.trigger.counter = idle;
    attrs.trigger.value_type = XSyncAbsolute;
    XSyncIntToValue(&attrs.trigger.wait_value, static_cast<int>(kQuietMs));
    attrs.trigger.test_type = XSyncNegativeTransition;
    XSyncIntToValue(&attrs.delta, 0);
    attrs.events = True;
    return XSyncCreateAlarm(d,
                            XSyncCACounter | XSyncCAValueType | XSyncCAValue | XSyncCATestType | XSyncCADelta |
                                XSyncCAEvents,
                            &attrs);
}

void Attach(Display* d) {
    // Resources of an earlier connection went with it.
    if (gTracker.info != nullptr) XFree(gTracker.info);
    gTracker = Tracker{};
    gTracker.generation = ConnectionGeneration();
    int event = 0, error = 0;
    gTracker.screenSaver = XScreenSaverQueryExtension(d, &event, &error);
    if (!gTracker.screenSaver) return;
    gTracker.info = XScreenSaverAllocInfo();
    gTracker.alarm = CreateInputAlarm(d, gTracker.syncEventBase);
}

// Reads the alarm events that have arrived, without waiting; true when one
// of them reports input.
bool InputAlarmed(Display* d) {
    bool input = false;
    while (XEventsQueued(d, QueuedAfterReading) > 0) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type != gTracker.syncEventBase + XSyncAlarmNotify) continue;
        const auto& alarm = reinterpret_cast<const XSyncAlarmNotifyEvent&>(e);
        if (alarm.alarm != gTracker.alarm) continue;
        input = true;
        if (alarm.state == XSyncAlarmInactive) {
            XSyncAlarmAttributes attrs{};
            attrs.events = True;
            XSyncChangeAlarm(d, gTracker.alarm, XSyncCAEvents, &attrs);
        }
    }
    return input;
}

}  // namespace

std::uint32_t LastInputTick(std::uint32_t now) {
    Display* d = SharedDisplay();
    if (d == nullptr) return kNoInputTick;
    if (gTracker.generation != ConnectionGeneration()) Attach(d);
    if (!gTracker.screenSaver || gTracker.info == nullptr) return kNoInputTick;

    const bool input = gTracker.alarm != None && InputAlarmed(d);
    if (ConnectionLost()) return kNoInputTick;
    if (gTracker.alarm != None && gTracker.quiet && !input && now - gTracker.askedAt < kRecheckMs)
        return gTracker.lastInput;

    if (XScreenSaverQueryInfo(d, DefaultRootWindow(d), gTracker.info) == 0) {
        gTracker.quiet = false;
        return kNoInputTick;
    }
    const auto idle = static_cast<std::uint32_t>(gTracker.info->idle);
    gTracker.lastInput = now - idle;
    gTracker.askedAt = now;
    gTracker.quiet = idle >= kQuietMs;
    return gTracker.lastInput;
}

}  // namespace rl::x11
