// The registry reads of the information queries on Windows: keys of
// HKEY_LOCAL_MACHINE opened for querying values only, read with the
// byte-string calls, results passed up as the registry gives them.
#include "win_internal.h"

#ifdef _MSC_VER
#pragma comment(lib, "advapi32.lib")
#endif

static_assert(KVP_ERROR_MORE_DATA == ERROR_MORE_DATA, "registry result codes");
static_assert(KVP_ERROR_NO_MORE_ITEMS == ERROR_NO_MORE_ITEMS, "registry result codes");
static_assert(sizeof(unsigned long) == sizeof(DWORD), "lengths are DWORDs");

long kvp_reg_open(const char *path, kvp_key *key)
{
    HKEY k = NULL;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &k);
    if (r == ERROR_SUCCESS) *key = (kvp_key)k;
    return r;
}

long kvp_reg_enum(kvp_key key, unsigned long index, char *name, unsigned long *nameLen,
                  unsigned char *data, unsigned long *dataLen)
{
    DWORD nl = (DWORD)*nameLen;
    DWORD dl = (DWORD)*dataLen;
    LONG r = RegEnumValueA((HKEY)key, (DWORD)index, name, &nl, NULL, NULL, data, &dl);
    *nameLen = nl;
    *dataLen = dl;
    return r;
}

long kvp_reg_query(kvp_key key, const char *value, unsigned char *data, unsigned long *dataLen)
{
    DWORD dl = (DWORD)*dataLen;
    LONG r = RegQueryValueExA((HKEY)key, value, NULL, NULL, data, &dl);
    *dataLen = dl;
    return r;
}

void kvp_reg_close(kvp_key key) { RegCloseKey((HKEY)key); }
