#pragma once
// Status values returned by every module operation.

#include <QMetaType>
#include <QObject>

class KxMerioErrors {
    Q_GADGET
public:
    enum ErrorCode : int {
        ALREADY = 1,               ///< already done (init twice, open twice); not a failure
        OK = 0,                    ///< success
        NOT_INITED = -401,         ///< the module was not initialised
        NOT_RUNNING = -402,        ///< the module is not running
        INVALID_PARAMETER = -403,  ///< a bad argument
        DEVICE_MISSING = -404,     ///< the capture device is absent
        DEVICE_FAILURE = -405,     ///< the capture device failed to open or run
        INVALID_POINTER = -406,    ///< a required pointer is null
        OPERATION_NOT_ALLOW = -407,///< not allowed in the current state
        OPERATION_FAILURE = -408,  ///< any other failure
    };
    Q_ENUM(ErrorCode)

    /// The key of a status value ("NOT_INITED"), or null for other values.
    static const char *keyOf(int code);
};

using ErrorCode = KxMerioErrors::ErrorCode;
