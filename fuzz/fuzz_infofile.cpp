// The info-file reader over arbitrary files: whatever the bytes, it keeps at most MAX_RECORDS
// records, and every record it keeps is safe to show and to hand to the shell.
#include "support.h"
#include "textinput.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly MAX_RECORDS on the heap, so that a record stored beyond them is caught.
    auto *list = static_cast<adapterInfo *>(std::calloc(MAX_RECORDS, sizeof(adapterInfo)));
    int records = getUpdateList(list, writeScratch(data, size));
    require(records == READ_FAILED || (records >= 0 && records <= MAX_RECORDS), "record count out of range");
    for (int i = 0; records != READ_FAILED && i < records; i++) {
        for (const char *field : {list[i].ssdid, list[i].adapterName, list[i].updatePackage})
            require(field != nullptr && *field != '\0' && std::strpbrk(field, ",\n") == nullptr,
                    "field missing, empty, or holding a comma or newline");
        require(std::strlen(list[i].updatePackage) <= static_cast<size_t>(PACKAGE_MAX), "package too long");
        const char *package = list[i].updatePackage;
        require(std::strpbrk(package, ";&|<>()$`\\*?[") == nullptr, "package holds a shell character");
        for (const char *c = package; *c != '\0'; c++)
            require((static_cast<unsigned char>(*c) >= 0x20 || *c == '\t') && *c != 0x7f,
                    "package holds a control character");
        require(package[0] != '#' && std::strstr(package, " #") == nullptr && std::strstr(package, "\t#") == nullptr,
                "package holds a word that begins with '#'");
    }
    // A refused file may have filled records before its refusal; they are the caller's too.
    for (int i = 0; i < MAX_RECORDS; i++) {
        std::free(list[i].ssdid);
        std::free(list[i].adapterName);
        std::free(list[i].updatePackage);
    }
    std::free(list);
    return 0;
}
