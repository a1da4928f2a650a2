#pragma once
// What the socket component knows of socket error numbers, beside the numbers in KesSock.h.

namespace kessock {

// Errors that a connection attempt reports through its connect event rather than at once.
bool IsConnectOutcome(int error);

}  // namespace kessock
