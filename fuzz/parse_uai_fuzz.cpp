// libFuzzer target: the UAI reader on arbitrary text, followed by a compile
// and a propagation of whatever it accepts.
#include <cstdint>
#include <string>

#include "kelvo.h"
#include "network_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    compile_and_propagate(kv_uai_parse_from_string(text.c_str(), nullptr, nullptr));
    return 0;
}
