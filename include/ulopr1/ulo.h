/* ulopr1: driver for Landis & Staefa PRV1 building controllers.
 *
 * The host loads the library and calls its one exported function, UloMain,
 * with a request record. Every record here is a plain C struct; on a 32-bit
 * target each field sits at the offset the host expects (checked at build
 * time), on 64-bit Linux the natural layout of the same declarations holds.
 */
#ifndef ULOPR1_ULO_H
#define ULOPR1_ULO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(ULOPR1_BUILDING_DRIVER)
#define ULO_EXPORT __declspec(dllexport)
#else
/* Plain declaration: links both against ulopr1.dll's import library and
 * against the driver's objects (as the tests do). Hosts usually take
 * UloMain with GetProcAddress. */
#define ULO_EXPORT
#endif
#else
#define ULO_EXPORT __attribute__((visibility("default")))
#endif

/* Command result codes. */
enum UloResult {
  ULO_DONE = 0,        /* done */
  ULO_REFUSED = 1,     /* unsupported, gate not served, write not confirmed */
  ULO_COMM_FAILURE = 2 /* port could not be opened/closed, controller silent */
};

/* Command codes: the index into the driver's 17-slot command table. */
enum UloCommand {
  ULO_CMD_START = 1,        /* args: StartParameters */
  ULO_CMD_WARM_START = 2,   /* no args */
  ULO_CMD_CHECK_GATE = 3,   /* args: GateDefinition */
  ULO_CMD_UNSUPPORTED = 4,  /* always answers 1 */
  ULO_CMD_READ_GATE = 5,    /* args: GateAccess */
  ULO_CMD_BLOCK_READ = 6,   /* not supported: answers 1 */
  ULO_CMD_WRITE_GATE = 7,   /* args: GateAccess */
  ULO_CMD_BLOCK_WRITE = 10, /* not supported: answers 1 */
  ULO_CMD_CLOSE_PORT = 11,  /* no args */
  ULO_CMD_CLOSE_PORT2 = 12, /* same as 11 */
  ULO_CMD_REOPEN_PORT = 13, /* no args */
  ULO_CMD_DESCRIBE = 14,    /* args: DriverDescription; needs no workspace */
  ULO_CMD_PORT_CHANGE = 15, /* args: PortChange */
  ULO_COMMAND_SLOTS = 17
};

/* Gate value types. */
enum UloValueType { ULO_TYPE_FLOAT = 3, ULO_TYPE_DIGITAL = 6 };

/* Limits of what the driver takes, in characters (without the terminator). */
#define ULO_PORT_NAME_MAX 11 /* a port name (StartParameters, PortChange) */
#define ULO_ADDRESS_MAX 31   /* a gate address */
#define ULO_LINE_MAX 49      /* a write line (CR included) or restart message */
/* Instance numbers the driver starts: the host knows them by one byte. */
#define ULO_INSTANCE_MAX 255

/* Names the driver makes from the instance number (printf formats, the
 * number at least two digits): the init file holding the restart message,
 * read from the current directory, and the host client it registers. */
#define ULO_INIT_FILE_FORMAT "uloPR1%.2d.int"
#define ULO_CLIENT_NAME_FORMAT "PR1_No_%.2d"

/* The size of InstanceWorkspace: the host allocates this many zero bytes per
 * instance and hands their address in every request. */
#define ULO_WORKSPACE_SIZE 140

/* What the host passes to UloMain. The driver keeps no pointer into it. */
struct UloRequest {
  void *workspace;  /* the instance's zero-filled workspace; unused by 14 */
  int32_t command;  /* UloCommand */
  int32_t instance; /* the host's number for the instance */
  int32_t reserved; /* not read */
  void *args;       /* the command's argument record, or NULL */
};

/* Line settings. stop_bits: 0 one, 1 one and a half, 2 two.
 * parity: 0 none, 1 odd, 2 even, 3 mark, 4 space. Only the low byte of
 * data_bits, stop_bits and parity is used. */
struct LineSettings {
  uint16_t baud;
  uint16_t data_bits;
  uint16_t stop_bits;
  uint16_t parity;
};

/* Filled by command 14. */
struct DriverDescription {
  int32_t kind;             /* 70 */
  const char *name;         /* "Landis & Staefa PRV1" */
  const char *banner;       /* code page 437 banner, 379 bytes */
  int32_t workspace_size;   /* 140 */
  int32_t four;             /* 4 */
  struct LineSettings line; /* 9600, 8, 0, 0 */
  int32_t three;            /* 3 */
};

/* Argument record of command 1. */
struct StartParameters {
  char port[12];        /* device name, zero-terminated within the field */
  int32_t enabled;      /* 0: the instance uses no port */
  int32_t read_timeout; /* in units of 10 ms */
  struct LineSettings line;
};

/* Argument record of command 15. */
struct PortChange {
  char port[12];        /* new device name, zero-terminated */
  int32_t read_timeout; /* units of 10 ms; 0 keeps the current one */
  struct LineSettings line;
};

/* Argument record of commands 5 and 7. The value block holds a 32-bit float
 * at its start for type 3 and a 16-bit unsigned value 2 bytes into it for
 * type 6; command 5 answers there too. */
struct GateAccess {
  const char *address;
  uint8_t reserved1[24];
  uint16_t type; /* UloValueType; read by command 7 only */
  uint8_t reserved2[10];
  void *value;
};

/* Argument record of command 3. */
struct GateDefinition {
  const char *address;
  int32_t input; /* copied to copy24 for data gates */
  int32_t type;  /* UloValueType */
  int32_t reserved;
  int32_t zero16; /* set to 0 */
  int32_t zero20; /* set to 0 */
  int32_t copy24; /* receives input for data gates */
  int32_t v255;   /* set to 255 */
  int32_t width;  /* 32 for a float data gate, else 16 */
};

/* The driver's single entry point. Returns a UloResult code. Commands for
 * one instance must come from one thread at a time. */
ULO_EXPORT int32_t UloMain(struct UloRequest *request);

#ifdef __cplusplus
}
#endif

#endif /* ULOPR1_ULO_H */
