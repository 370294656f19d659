#include "kx2status.h"

KX2Status KX2Status::failure(int code, const QString& message)
{
    return KX2Status(code, message);
}
