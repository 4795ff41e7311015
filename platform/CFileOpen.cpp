#include "CFileOpen.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtQueryAttributesFile(POBJECT_ATTRIBUTES attributes, PFILE_BASIC_INFORMATION information);

namespace {
const NTSTATUS kOplockBreakInProgress = 0x00000108;
const NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
const NTSTATUS kObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);
const NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
const NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
const NTSTATUS kObjectNameInvalid = static_cast<NTSTATUS>(0xC0000033);
const NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106);

SECURITY_QUALITY_OF_SERVICE g_identifyOnly = {sizeof(SECURITY_QUALITY_OF_SERVICE), SecurityIdentification,
                                              SECURITY_STATIC_TRACKING, FALSE};

// An object name for the system: a name below parent as it is, a full path
// turned into its NT form ("\??\C:\..."), which the caller frees.
class CObjectName {
public:
    CObjectName(HANDLE parent, const std::wstring& name) {
        if (parent != nullptr) {
            if (name.size() * sizeof(wchar_t) > 0xFFFE) return;
            m_string.Buffer = const_cast<wchar_t*>(name.c_str());
            m_string.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
            m_string.MaximumLength = m_string.Length;
            m_valid = true;
        } else {
            m_valid = ::RtlDosPathNameToNtPathName_U(name.c_str(), &m_string, nullptr, nullptr) != FALSE;
            m_converted = m_valid;
        }
    }
    ~CObjectName() {
        if (m_converted) ::RtlFreeUnicodeString(&m_string);
    }
    CObjectName(const CObjectName&) = delete;
    CObjectName& operator=(const CObjectName&) = delete;

    bool IsValid() const { return m_valid; }
    void Fill(OBJECT_ATTRIBUTES& object, HANDLE parent, PSECURITY_DESCRIPTOR descriptor) {
        InitializeObjectAttributes(&object, &m_string, OBJ_CASE_INSENSITIVE, parent, descriptor);
        object.SecurityQualityOfService = &g_identifyOnly;
    }

private:
    UNICODE_STRING m_string = {};
    bool m_valid = false;
    bool m_converted = false;
};
}  // namespace

bool CFileOpen::Outcome::NotFound() const {
    return status == kObjectNameNotFound || status == kObjectPathNotFound || status == kNoSuchFile;
}

bool CFileOpen::Outcome::SharingViolation() const { return status == kSharingViolation; }

DWORD CFileOpen::Outcome::Error() const {
    if (oplocked) return kErrorOplocked;
    return status >= 0 ? ERROR_SUCCESS : ::RtlNtStatusToDosError(status);
}

CFileOpen::Outcome CFileOpen::Open(HANDLE parent, const std::wstring& name, const Request& request,
                                   CUniqueHandle& handle) {
    handle.Reset();
    Outcome outcome;
    CObjectName objectName(parent, name);
    if (!objectName.IsValid()) {
        outcome.status = name.size() > 0x7FFF ? kNameTooLong : kObjectNameInvalid;
        return outcome;
    }
    OBJECT_ATTRIBUTES object;
    objectName.Fill(object, parent, request.descriptor);
    IO_STATUS_BLOCK io = {};
    HANDLE opened = nullptr;
    outcome.status = ::NtCreateFile(&opened, request.access | SYNCHRONIZE, &object, &io, nullptr,
                                    FILE_ATTRIBUTE_NORMAL, request.share, request.disposition,
                                    request.options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED,
                                    nullptr, 0);
    if (outcome.status < 0) return outcome;
    handle.Reset(opened);
    // Whatever is done through this handle now would wait for the holder's acknowledgement.
    if (outcome.status == kOplockBreakInProgress) {
        outcome.oplocked = true;
        handle.Reset();
    }
    return outcome;
}

CFileOpen::Outcome CFileOpen::QueryAttributes(const std::wstring& path, DWORD& attributes) {
    Outcome outcome;
    CObjectName objectName(nullptr, path);
    if (!objectName.IsValid()) {
        outcome.status = kObjectNameInvalid;
        return outcome;
    }
    OBJECT_ATTRIBUTES object;
    objectName.Fill(object, nullptr, nullptr);
    FILE_BASIC_INFORMATION basic = {};
    outcome.status = ::NtQueryAttributesFile(&object, &basic);
    attributes = outcome.status >= 0 ? basic.FileAttributes : INVALID_FILE_ATTRIBUTES;
    return outcome;
}
