#include "requestmembers.h"

#include <cmath>
#include <limits>

#include <QString>

namespace requestmembers {

std::string textOf(const value &v)
{
    const char *text = v;
    return text ? text : "";
}

// To single precision as the hardware rounds: beyond float's range the
// language leaves the conversion undefined, and an infinity there must
// reach readMeter's check rather than whatever the compiler makes of it.
float narrowed(double number)
{
    constexpr double FLOAT_MAX = std::numeric_limits<float>::max();
    constexpr double OVERFLOW_AT = FLOAT_MAX + 0x1p103;   // half a unit in the last place above
    const float sign = number < 0.0 ? -1.0f : 1.0f;
    const double magnitude = std::fabs(number);
    if (magnitude >= OVERFLOW_AT)
        return sign * std::numeric_limits<float>::infinity();
    if (magnitude > FLOAT_MAX)
        return sign * std::numeric_limits<float>::max();
    return static_cast<float>(number);   // not-a-number stays so
}

float numberOf(const value &v)
{
    if (v.is_int())
        return static_cast<float>(static_cast<LONG64>(v));
    if (v.is_double())
        return narrowed(static_cast<double>(v));
    if (v.is_bool())
        return v.is_true() ? 1.0f : 0.0f;
    if (v.is_string())
        return narrowed(QString::fromUtf8(static_cast<const char *>(v)).toDouble());
    return 0.0f;
}

} // namespace requestmembers
