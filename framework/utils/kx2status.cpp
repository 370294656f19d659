#include "kx2status.h"

KX2Status KX2Status::failure(int code, const QString& message)
{
    return KX2Status(code, message);
}

KX2Status KX2Status::prefixed(const QString& prefix) const
{
    return ok() ? *this : KX2Status(status, prefix + text);
}
