#include "database/key_database.h"

void KeyDatabase::reset() {
    keys.clear();
    file_name.clear();
    file_name_offset = 0;
    log = LogSettings{};
}

void DatabaseContents::reset() {
    keys.clear();
    log = LogSettings{};
    layout = WindowLayout{};
}
