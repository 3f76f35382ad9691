// jsoncpp, included with default symbol visibility.
// Plug-in code is compiled with hidden visibility; jsoncpp's headers carry no
// visibility attribute, so without this their symbols would be referenced as hidden.
#pragma once
#pragma GCC visibility push(default)
#include <json/json.h>
#pragma GCC visibility pop
