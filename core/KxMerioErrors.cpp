#include "KxMerioErrors.h"

#include <QMetaEnum>

const char *KxMerioErrors::keyOf(int code)
{
    return QMetaEnum::fromType<ErrorCode>().valueToKey(code);
}
