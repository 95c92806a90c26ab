// The C-locale bracket: text in files and names is read and written in the C
// locale whatever locale the host application has set.  The switch is
// process-wide.
#include <clocale>
#include <cstdlib>

#include "domain.h"
#include "error.h"
#include "memory.h"

char *_kv_select_C_locale()
{
    const char *current = std::setlocale(LC_ALL, nullptr);
    if (!current) {
        _kv_set_error_code(kv_error_locale);
        return nullptr;
    }
    char *saved = _kv_allocate_string(current);
    if (!saved)
        return nullptr;
    if (!std::setlocale(LC_ALL, "C")) {
        std::free(saved);
        _kv_set_error_code(kv_error_locale);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return saved;
}

void _kv_restore_locale(char *saved)
{
    std::setlocale(LC_ALL, saved);
    std::free(saved);
}
