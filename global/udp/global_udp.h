// Global_UDP: the process's transport and the fan-out of what it delivers.
//
// One process has one transport and so one data callback and one disconnect callback, while the
// main program and several plug-ins want the messages. `StartUDP` starts the transport with the
// two callbacks of this module, and they hand every received message, and every lost peer, to the
// main program's handler first and then to the handlers of every loaded plug-in (the handler
// fields of its `TPluginInfo`), from the last loaded plug-in to the first. There is no routing:
// each receiver looks at the 32-bit message code in the first four bytes and ignores what is not
// its own.
//
// Threads: the transport runs in delivery mode 0, so every callback, and therefore every handler,
// runs on the main thread, where the plug-in host lives; a handler may use windows and the host
// without locking, and must not block, since no other message is delivered while it runs.
#pragma once

#include <cstdint>

#include "plugin/plugin_api.h"

namespace kiv {

// The main program's handlers, called before the plug-ins' for every message and every lost peer.
// Null until the main program assigns them (before it starts the transport); while null the
// plug-ins still receive everything. Assign them on the main thread only.
extern TOnDataRecive ExeOnDataRecive;
extern TOnDisConnect ExeOnDisConnect;

// Starts the transport on the local UDP `port` (0: any free port) in delivery mode 0 with
// MsgOnDataRecive and MsgOnDisConnect as its callbacks; call it on the main thread of a running Qt
// application. True when the transport runs, also without a second start when it was already
// started. False when the port cannot be opened (or there is no Qt application); the failed
// transport is then stopped again, so a later call can try another port.
bool StartUDP(std::uint16_t port);

// The transport's data callback: the main program's handler, then every plug-in's data handler,
// last loaded first, whether the plug-in is working or not. The walk runs inside one exception
// guard: a handler that throws ends the delivery of this one message (the handlers after it do not
// see it) and nothing else. `data` belongs to the transport and lives for the call only; `size`
// covers the whole message, from its 32-bit code on.
void MsgOnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size);

// The transport's peer-lost callback: the same walk with the disconnect handlers. `reason` is the
// transport's (1 by a disconnect exchange or a new handshake from the same address, 0 after
// silence).
void MsgOnDisConnect(std::uint16_t remote, std::uint8_t reason);

}  // namespace kiv
