#pragma once
// Runs an action when the scope ends, however it ends (return, error or fall-through):
//
//   ui::Finally cleanup{[&] { Fetching = false; }};
//
// The action must not throw.
namespace ui {

template <class F>
struct Finally {
    F Action;
    ~Finally() { Action(); }
};
template <class F>
Finally(F) -> Finally<F>;

}  // namespace ui
