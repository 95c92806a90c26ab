// libFuzzer target: the old NET reader.  Every input follows an old header,
// so that the format test always chooses the old reader and the fuzzer
// spends its time on the node entries; whatever is accepted is compiled
// and propagated.
#include <cstdint>
#include <string>

#include "kelvo.h"
#include "network_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = "fuzz \"old network\" 40 30 1\n";
    text.append(reinterpret_cast<const char *>(data), size);
    compile_and_propagate(kv_net_parse_from_string(text.c_str(), nullptr));
    return 0;
}
