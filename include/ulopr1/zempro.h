/* The host runtime functions the driver calls. The driver leaves them
 * undefined; the process that loads the driver provides them (normally by
 * linking the host runtime library). All are thread-safe. */
#ifndef ULOPR1_ZEMPRO_H
#define ULOPR1_ZEMPRO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(ZEMPRO_BUILDING)
#define ZEMPRO_API __declspec(dllexport)
#else
#define ZEMPRO_API __declspec(dllimport)
#endif
#else
#define ZEMPRO_API __attribute__((visibility("default")))
#endif

/* Message classes of err(). */
enum ZemMessageClass { ZEM_CLASS_TRACE = 8, ZEM_CLASS_MESSAGE = 32 };

/* Logs one message; format is taken as sprintf takes it. */
ZEMPRO_API void err(int32_t message_class, const char *format, ...);

/* Registers a client. Writes its one-byte id into client[0] (5 bytes are
 * reserved there) and returns 0, or a non-zero code on failure. */
ZEMPRO_API uint16_t Zem5MkClient(const char *name, int32_t a, int32_t b,
                                 void *client);

/* Waits a bounded time for a message. Returns non-zero to go on, 0 when the
 * host wants the client to stop. The 28-byte buffer is not filled. */
ZEMPRO_API uint16_t Zem5WaitMsg(uint8_t client, void *message, int32_t a);

/* Removes a client. */
ZEMPRO_API uint16_t Zem5RmClient(uint8_t client);

/* Looks up the gate of an instance by address; 0 and *gate_id on success. */
ZEMPRO_API uint16_t Zem5GetGateIdByAddressStr(uint8_t client, uint8_t instance,
                                              const char *address,
                                              int32_t *gate_id);

/* Stores a gate value; 0 when accepted. */
ZEMPRO_API uint16_t Zem5PutGateVal(uint8_t client, int32_t gate_id, int32_t a,
                                   double value, int32_t b, int32_t c);

/* Marks the instance's controller as not communicating. */
ZEMPRO_API uint16_t Zem5SetPlcCommStatus(uint8_t client, uint8_t instance,
                                         int32_t a, int32_t b, int32_t c);

#ifdef __cplusplus
}
#endif

#endif /* ULOPR1_ZEMPRO_H */
