/* The flat interface of libKivUDP.so: the only way other modules reach the transport.
 *
 * The library holds at most one engine. Every function tolerates a missing engine and answers with
 * its failure value. Addresses are NUL-terminated dotted IPv4 text (host names are resolved by the
 * caller). Data passed in belongs to the caller and is copied; data handed to the data callback
 * lives for the call only.
 *
 * Threads: UDPStart, UDPStop and UDPConnect let the main thread's events run while they wait, so
 * in mode 0 they must be called on the main thread, with a Qt application object in place. Every
 * other function may be called from any thread, including from inside the callbacks.
 *
 * Callbacks run: mode 0 on the main thread; mode 1 on the transport's dispatch thread; mode 2 on
 * its read thread (disconnects found by ageing too). Never two at once, and in the order the
 * transport produced them: in mode 0 a callback that runs a nested event loop sees the messages
 * that arrive meanwhile after it returns. The engine's lock is never held while a callback runs.
 * UDPStop may be called from a mode-0 callback; the engine is freed after the callback returns.
 */
#ifndef KIVORA_UDP_INTERFACE_H
#define KIVORA_UDP_INTERFACE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIVUDP_EXPORT __attribute__((visibility("default")))

/* A complete message from the peer `handle`. */
typedef void (*TUDPDataCallback)(uint16_t handle, const void* data, uint32_t length);
/* The association `handle` ended: reason 1 by a disconnect exchange or a new handshake from the same
 * address, 0 after silence. */
typedef void (*TUDPDisconnectCallback)(uint16_t handle, uint8_t reason);

/* Starts the transport on `port` (0: any free port) in `mode` 0, 1 or 2. With an engine already
 * there, answers true and changes nothing. */
KIVUDP_EXPORT bool UDPStart(uint16_t port, uint8_t mode, TUDPDataCallback on_data,
                            TUDPDisconnectCallback on_disconnect);
/* Disconnects every peer (waiting up to 5 s), ends the transport's threads and frees the engine.
 * True without an engine. */
KIVUDP_EXPORT bool UDPStop(void);
/* The handle of the association with address:port after a handshake, 0 on failure or time-out. */
KIVUDP_EXPORT uint32_t UDPConnect(const char* address, uint16_t port, uint32_t timeout_ms);
/* True when a peer of that address and port exists, in whatever state. */
KIVUDP_EXPORT bool UDPConnected(const char* address, uint16_t port);
/* Queues a disconnect request; true when the peer exists. */
KIVUDP_EXPORT bool UDPDisConnect(uint16_t handle);
/* Reliable, ordered send on `channel`, with flow control at `threshold` bytes (0: none). */
KIVUDP_EXPORT bool UDPSendData(uint16_t handle, const void* data, uint32_t length, uint8_t channel,
                               uint32_t threshold, uint8_t mode);
/* One unreliable datagram (at most 4175 bytes). */
KIVUDP_EXPORT void UDPSendDataNow(uint16_t handle, const void* data, uint32_t length);
/* Reliable send of temporary data on channel 0, without flow control. */
KIVUDP_EXPORT void UDPSendTempData(uint16_t handle, const void* data, uint32_t length);
/* The peer of address:port, created in the temporary state if missing; 0 when none can be made. */
KIVUDP_EXPORT uint32_t UDPCreateTempRemote(const char* address, uint16_t port);
/* One raw datagram without transport header, through the relay when one is set. */
KIVUDP_EXPORT void UDPSendMSGData(const char* address, uint16_t port, const void* data, uint32_t length);
/* Sets the SOCKS5 relay for all later datagrams; an empty address clears it. */
KIVUDP_EXPORT void UDPSetProxyInfo(const char* address, uint16_t port);
/* Copies the peer's address (at most `max_length` characters and a NUL, so `address` must hold
 * max_length + 1 bytes) and port. False, arguments untouched, when there is no such peer. */
KIVUDP_EXPORT bool UDPGetRemoteAdd(uint16_t handle, char* address, uint32_t max_length, uint16_t* port);
/* The peer's round-trip estimate in ms; 0 when unknown. */
KIVUDP_EXPORT uint32_t UDPGetPing(uint16_t handle);
/* Payload bytes queued and not yet acknowledged on that channel of the peer. */
KIVUDP_EXPORT uint32_t UDPGetSendChannelSize(uint16_t handle, uint8_t channel);
/* Resent ÷ acknowledged fragments of the peer's send channel at `position` (0: first used). */
KIVUDP_EXPORT float UDPGetChannelResendRate(uint16_t handle, uint8_t position);
/* Shows the transport diagnostics window (needs a Qt widget application). */
KIVUDP_EXPORT void UDPViewInfo(void);
/* Marks the peer as one of our servers: only a server may order this process to end (code
 * 0x00090001); the order is dropped and logged from anyone else. False when there is no such peer. */
KIVUDP_EXPORT bool UDPSetServerPeer(uint16_t handle, bool is_server);
/* The library's load and unload entry points of the original interface, kept for callers that call
 * them. The library sets itself up when loaded and tears down when unloaded, so both do nothing,
 * and neither touches the engine. */
KIVUDP_EXPORT void Initialize(void);
KIVUDP_EXPORT void Finalize(void);

#ifdef __cplusplus
}
#endif

#endif
