#pragma once
// The event type shared by the components: a handler called with the object that fires it.
// Events are std::function members, fired only when set.
#include <functional>

class QObject;

using TNotifyEvent = std::function<void(QObject* sender)>;
