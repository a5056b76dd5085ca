#pragma once

#include <string>

#include "json.h"

// How a request's members become a reading's inputs. Any JSON value may
// arrive in any member; none of them fails.
namespace requestmembers {

// A member read as text: strings as they are, other values in their text form.
std::string textOf(const value &v);

// To single precision as the hardware rounds, infinity beyond float's range.
float narrowed(double number);

// A member read as a number: true 1, false 0; strings parsed as decimal
// text, 0 when they do not parse; anything else 0.
float numberOf(const value &v);

} // namespace requestmembers
