// The console relay's choice of receive loop. Where the system can take many
// datagrams in one call and hand many to the network in one call, confrelay
// serves its socket in batches; elsewhere only the per-datagram loop exists.
// Each platform's answer lives in a file of its own.
#pragma once

#include <csignal>
#include <functional>

#include "relay_server.h"

namespace conf {

bool batched_path_available();

// Serves the started relay's socket until `stop_requested` turns non-zero or
// the socket breaks. `after_batch` (if any) runs after every batch of
// received datagrams has been handled and sent, and after every wait in which
// nothing arrived. Does nothing where batched_path_available() is false.
void serve_batched(RelayServer& relay, const volatile std::sig_atomic_t& stop_requested,
                   const std::function<void()>& after_batch = {});

}  // namespace conf
