#pragma once
// An object's lifetime, for code that calls out to a handler or runs a nested event loop: either
// may destroy the object whose code is running. The object holds a TLifetime; what must learn
// whether it survived takes a TAlive watch of it, or calls through Survives:
//
//   if (!ui::Survives(FLifetime, [&] { OnUpdate(this); })) return;  // destroyed: touch nothing
//
//   const ui::TAlive alive = FLifetime.Watch();  // for a clean-up that runs however the scope ends
//   ui::Finally off{[&] { if (alive) TimerOff(); }};
//
// A copied or moved object has a lifetime of its own.
#include <memory>
#include <utility>

namespace ui {

class TLifetime;

// Tells whether the object it watches still exists. A default-made watch watches nothing.
class TAlive {
public:
    TAlive() = default;
    explicit operator bool() const { return !FToken.expired(); }

private:
    friend class TLifetime;
    explicit TAlive(std::weak_ptr<const char> token) : FToken(std::move(token)) {}
    std::weak_ptr<const char> FToken;
};

class TLifetime {
public:
    TLifetime() = default;
    TLifetime(const TLifetime&) {}
    TLifetime& operator=(const TLifetime&) { return *this; }
    ~TLifetime() = default;

    TAlive Watch() const { return TAlive(FToken); }

private:
    std::shared_ptr<const char> FToken = std::make_shared<const char>();
};

// Calls step (a handler, a wait) and tells whether the owner of life still exists after it. An
// exception from step passes through.
template <class F>
[[nodiscard]] bool Survives(const TLifetime& life, F&& step) {
    const TAlive alive = life.Watch();
    std::forward<F>(step)();
    return static_cast<bool>(alive);
}

}  // namespace ui
