/* Status codes of the base library (libKestrel).
 *
 * Every C-level function of the base library reports its outcome with one of
 * these values; none of them throws. Some interfaces return a
 * code negated (the trace fetch returns -KESTREL_TRACE_TOO_LARGE). Usable from
 * C and C++. */
#ifndef KESTREL_STATUS_H
#define KESTREL_STATUS_H

enum KestrelStatus
{
    KESTREL_OK = 0,                   /* success */
    KESTREL_NOT_CONNECTED = 1,        /* not (yet) connected, or the connection dropped */
    KESTREL_TIMEOUT = 2,              /* nothing could be done within the time */
    KESTREL_MORE_FRAGMENTS = 3,       /* more fragments of a framed message follow */
    KESTREL_BUSY = 5,                 /* another operation runs on the handle */
    KESTREL_STOPPED = 13,             /* the handle was stopped */
    KESTREL_TOO_MANY_SERVICES = 14,   /* more than 8 device-message services */
    KESTREL_NO_SOCKET = 64,           /* no socket, or no room for the reply */
    KESTREL_FAILED = 70,              /* operation failed */
    KESTREL_INVALID_HANDLE = 71,      /* unknown handle, or the peer closed */
    KESTREL_INVALID_ARGUMENT = 72,    /* invalid argument or unknown command */
    KESTREL_NOT_INITIALISED = 73,     /* not initialised, or cannot open */
    KESTREL_NO_MEMORY = 74,           /* out of memory */
    KESTREL_TABLE_FULL = 75,          /* table full */
    KESTREL_REMAINDER_TOO_LARGE = 77, /* unsent remainder too large */
    KESTREL_PATH_REFUSED = 78,        /* file name absolute or with a "." component */
    KESTREL_READ_ERROR = 79,          /* read error */
    KESTREL_WRITE_ERROR = 80,         /* write error */
    KESTREL_TRACE_TOO_LARGE = 82,     /* trace buffer larger than the reply room */
    KESTREL_PATH_OUTSIDE = 83,        /* file name leaves its directory */
    KESTREL_BAD_REQUEST = 84,         /* bad device-message request */
    KESTREL_FILE_EXISTS = 85,         /* file exists */
    KESTREL_CANNOT_OPEN = 86          /* file cannot be opened, or no forwarding connection */
};

#endif /* KESTREL_STATUS_H */
