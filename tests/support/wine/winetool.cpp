// The Wine tests' own Windows program, cross-built beside velkor.exe and run
// by wine in the tests' prefix (support/wine-prefix.sh, support/target.cpp):
//
//   winetool hold                 prints "holding" and stays alive until it
//                                 is killed: while it runs, the prefix's
//                                 Wine session (and the registry keys its
//                                 start-up made) stays as it is
//   winetool ports [DEVICE COMn]...
//                                 makes HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
//                                 hold exactly these values, in this order
//                                 (DEVICE -> "COMn", REG_SZ), creating the
//                                 key when it is missing
//   winetool noports              deletes that key
//   winetool list                 prints the key's values, "DEVICE COMn"
//                                 a line
//
// HKLM\HARDWARE is volatile in Wine: its keys live in the wine server's
// memory, and Wine's device manager makes the port map when a session
// starts.  Keys under it can only be volatile themselves, which Wine's reg
// cannot create; this program creates them, so the tests never depend on
// the device manager.  Each change is one program run: a wine start costs
// a few hundred milliseconds.
//
// Exit status 0 on success; otherwise 1 (2 for a bad command line), with a
// line on standard error that says what failed.
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const char kDeviceMap[] = "HARDWARE\\DEVICEMAP";
const char kSerialComm[] = "SERIALCOMM";
const char kSerialCommPath[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Value names and data are at most this long (the registry's own limit is
// 16383 characters for a name).
const DWORD kLongest = 32768;
char nameBuffer[kLongest];
BYTE dataBuffer[kLongest];

int failed(const char *what, const char *key, LONG error)
{
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    fprintf(stderr, "winetool: %s HKLM\\%s: error %ld (%s)\n", what, key, error, text);
    return 1;
}

// Opens the port map for changes, making it (and DEVICEMAP above it)
// volatile when it is missing: keys under a volatile key cannot be stored.
int openPortMap(HKEY *key)
{
    HKEY map;
    LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDeviceMap, 0, nullptr, REG_OPTION_VOLATILE,
                             KEY_CREATE_SUB_KEY, nullptr, &map, nullptr);
    if (r != ERROR_SUCCESS) return failed("create", kDeviceMap, r);
    r = RegCreateKeyExA(map, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key, nullptr);
    RegCloseKey(map);
    if (r != ERROR_SUCCESS) return failed("create", kSerialCommPath, r);
    return 0;
}

int setPorts(int count, char **pairs)
{
    HKEY key;
    if (openPortMap(&key) != 0) return 1;
    // Every value goes, whoever set it (the device manager lists the
    // machine's own ports): the first one until none is left.
    for (;;) {
        DWORD length = kLongest;
        LONG r = RegEnumValueA(key, 0, nameBuffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r == ERROR_SUCCESS) r = RegDeleteValueA(key, nameBuffer);
        if (r != ERROR_SUCCESS) {
            RegCloseKey(key);
            return failed("empty", kSerialCommPath, r);
        }
    }
    for (int i = 0; i + 1 < count; i += 2) {
        const char *port = pairs[i + 1];
        LONG r = RegSetValueExA(key, pairs[i], 0, REG_SZ, reinterpret_cast<const BYTE *>(port),
                                static_cast<DWORD>(strlen(port) + 1));
        if (r != ERROR_SUCCESS) {
            fprintf(stderr, "winetool: value %s = %s:\n", pairs[i], port);
            RegCloseKey(key);
            return failed("set a value of", kSerialCommPath, r);
        }
    }
    RegCloseKey(key);
    return 0;
}

int removePorts()
{
    LONG r = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSerialCommPath);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return failed("delete", kSerialCommPath, r);
    return 0;
}

int listPorts()
{
    HKEY key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommPath, 0, KEY_QUERY_VALUE, &key);
    if (r != ERROR_SUCCESS) return failed("open", kSerialCommPath, r);
    for (DWORD index = 0;; index++) {
        DWORD length = kLongest, type = 0, size = kLongest - 1;
        r = RegEnumValueA(key, index, nameBuffer, &length, nullptr, &type, dataBuffer, &size);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) {
            RegCloseKey(key);
            return failed("read", kSerialCommPath, r);
        }
        dataBuffer[size] = 0;
        printf("%s %s\n", nameBuffer, type == REG_SZ ? reinterpret_cast<char *>(dataBuffer)
                                                      : "(not a string)");
    }
    RegCloseKey(key);
    return 0;
}

int hold()
{
    printf("holding\n");
    fflush(stdout);
    for (;;) Sleep(INFINITE);
}

int usage()
{
    fprintf(stderr,
            "usage: winetool hold | ports [DEVICE COMn]... | noports | list\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return usage();
    const char *command = argv[1];
    if (strcmp(command, "ports") == 0 && argc % 2 == 0) return setPorts(argc - 2, argv + 2);
    if (argc != 2) return usage();
    if (strcmp(command, "hold") == 0) return hold();
    if (strcmp(command, "noports") == 0) return removePorts();
    if (strcmp(command, "list") == 0) return listPorts();
    return usage();
}
