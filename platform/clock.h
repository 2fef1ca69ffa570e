// The millisecond tick count the keep-alive timer reads. GetTickCount() by
// default; tests install their own source to drive the timer.
#ifndef DIVIVEZ_PLATFORM_CLOCK_H_
#define DIVIVEZ_PLATFORM_CLOCK_H_

#include "platform/platform.h"

typedef DWORD (*TickSource)();

DWORD PlatformTickCount();
void SetTickSourceForTesting(TickSource source);  // nullptr restores GetTickCount

#endif  // DIVIVEZ_PLATFORM_CLOCK_H_
