/* Compiled as C: the public headers must stay a C interface. */
#include <kest/error.h>
#include <kest/file.h>
#include <kest/kvfile.h>
#include <kest/strutil.h>
#include <kest/szlist.h>
#include <kest/unicode.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;
#define CHECK(cond)                                                     \
    do {                                                                \
        if (!(cond)) {                                                  \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                 \
        }                                                               \
    } while (0)

int main(void) {
    char dir[] = "/tmp/kestcore_c.XXXXXX";
    char path[64];
    char value[16];
    SzList *list;
    SzHash *hash;

    CHECK(mkdtemp(dir) != NULL);
    snprintf(path, sizeof path, "%s/conf", dir);
    CHECK(XLIBCFileSetKeyValue(path, "unique", "kest_x86_64", "%s=\"%s\"\n") == 1);
    CHECK(XLIBCFileGetKeyValue(path, "unique", value, sizeof value, 0) == 12);
    CHECK(strcmp(value, "kest_x86_64") == 0);
    CHECK(XLIBCFileGetKeyValue(path, "missing", value, sizeof value, 0) == 0);
    CHECK(XLIBCErrGet() == ERR_KEY_NOT_FOUND);
    CHECK(strcmp(XLIBCErrorGetFile(), "file_get_key_value") == 0);

    list = XLIBCSzListAlloc(0);
    CHECK(list && list->size == 512 && list->free == 480);
    CHECK(XLIBCSzListPush(&list, "b") == 0);
    CHECK(XLIBCSzListPush(&list, "a") == 1);
    XLIBCSzListSort(list, SZLIST_SORTED);
    CHECK(strcmp(XLIBCSzListGet(list, 0), "a") == 0);
    XLIBCSzListFree(list);

    hash = XLIBCSzHashAlloc(0);
    CHECK(hash && hash->buckets == 31);
    CHECK(XLIBCSzHashSetValue(&hash, "k", "v") >= 0);
    CHECK(strcmp(XLIBCSzHashGetValue(hash, "k"), "v") == 0);
    XLIBCSzHashFree(hash);

    CHECK(XLIBCUtf8StrCaseCmp("abc", "ABC") == 0);
    unlink(path);
    rmdir(dir);
    return failures ? 1 : 0;
}
