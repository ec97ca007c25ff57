#include "platform/activity_hold.h"

#import <Foundation/Foundation.h>

std::shared_ptr<void> beginActivityHold(const QString &reason)
{
    // User-initiated: no idle sleep, no sudden or automatic termination.
    id<NSObject> activity =
        [[NSProcessInfo processInfo] beginActivityWithOptions:NSActivityUserInitiated
                                                       reason:reason.toNSString()];
    [activity retain];
    return std::shared_ptr<void>((__bridge void *)activity, [](void *token) {
        id<NSObject> held = (__bridge id<NSObject>)token;
        [[NSProcessInfo processInfo] endActivity:held];
        [held release];
    });
}
