// The configuration manager's services, as the driver calls them: key
// handles and RtlQueryRegistryValues.
#include "cm_registry_internal.h"

using namespace hk::registry;

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (KeyHandle == nullptr || ObjectAttributes == nullptr) {
        HkBugCheck(HkStop::DetectedViolation::OpenKeyArgumentMissing, "ZwOpenKey: KeyHandle or ObjectAttributes is NULL");
    }
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    const PUNICODE_STRING objectName = ObjectAttributes->ObjectName;
    if (objectName == nullptr || (objectName->Length & 1) != 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (objectName->Buffer == nullptr && objectName->Length != 0) {
        HkBugCheck(HkStop::DetectedViolation::OpenKeyNameWithoutBuffer, "ZwOpenKey: ObjectName has a Length but no Buffer");
    }
    return OpenKeyHandle(ObjectAttributes->RootDirectory, FromCounted(objectName->Buffer, objectName->Length), KeyHandle);
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    CloseKeyHandle(Handle);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (KeyValueInformationClass != KeyValueFullInformation) {
        HkBugCheck(HkStop::DetectedViolation::QueryValueClassUnsupported,
                   "ZwQueryValueKey: information class " + std::to_string(KeyValueInformationClass) +
                       " is unsupported in the stand-in");
    }
    if (ValueName == nullptr || ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        HkBugCheck(HkStop::DetectedViolation::QueryValueArgumentMissing,
                   "ZwQueryValueKey: NULL ValueName, ResultLength or buffer");
    }
    Value found;
    const NTSTATUS status = FindValue(KeyHandle, FromCounted(ValueName->Buffer, ValueName->Length), found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return FillFullInformation(found, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                PVOID Context, PVOID)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    HkPassPausePoint("RtlQueryRegistryValues", Path);
    if (QueryTable == nullptr) {
        HkBugCheck(HkStop::DetectedViolation::QueryTableMissing, "RtlQueryRegistryValues: QueryTable is NULL");
    }
    std::shared_ptr<Key> key;
    const NTSTATUS openStatus = OpenQueryKey(RelativeTo, Path, key);
    if (!NT_SUCCESS(openStatus)) {
        return openStatus; // before any entry, so no default is stored
    }
    constexpr ULONG unsupported = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY |
                                  RTL_QUERY_REGISTRY_NOVALUE | RTL_QUERY_REGISTRY_DELETE;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         ++entry) {
        if (entry->Flags & unsupported) {
            HkBugCheck(HkStop::DetectedViolation::QueryFlagsUnsupported,
                       "RtlQueryRegistryValues: entry flags " + Hex(entry->Flags) +
                           " (SUBKEY/TOPKEY/NOVALUE/DELETE) unsupported in the stand-in");
        }
        const bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct && (entry->Name == nullptr || entry->QueryRoutine != nullptr)) {
            return STATUS_INVALID_PARAMETER;
        }
        const NTSTATUS status =
            entry->Name == nullptr ? EnumerateValues(*entry, key, Context) : QueryNamedValue(*entry, key, Context);
        if (!NT_SUCCESS(status)) {
            return status; // earlier entries keep what they stored
        }
    }
    return STATUS_SUCCESS;
}
