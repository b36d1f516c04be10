/* Adds a certificate to a system store of the current user, so signature
 * tests can trust their own root inside a Wine prefix (no prompt under Wine).
 *
 *   trust_helper.exe <certificate.der> [store]     store defaults to ROOT
 *
 * Exit codes: 0 added, 2 usage, 3 file unreadable, 4 store not opened,
 * 5 certificate refused. */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        fwprintf(stderr, L"usage: trust_helper <certificate.der> [store]\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 3;
    BYTE data[65536];
    DWORD size = 0;
    BOOL read = ReadFile(file, data, sizeof(data), &size, NULL);
    CloseHandle(file);
    if (!read || size == 0 || size == sizeof(data)) return 3;

    HCERTSTORE store = CertOpenSystemStoreW(0, argc == 3 ? argv[2] : L"ROOT");
    if (store == NULL) {
        fwprintf(stderr, L"CertOpenSystemStoreW failed: %lu\n", GetLastError());
        return 4;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, data, size,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fwprintf(stderr, L"CertAddEncodedCertificateToStore failed: %#lx\n", error);
        return 5;
    }
    return 0;
}
