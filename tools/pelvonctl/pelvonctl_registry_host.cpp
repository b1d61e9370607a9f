// The Parameters key on the host: the stand-in kernel's registry, the one the
// driver reads there when its device is added.
#include "pelvonctl_registry.h"

#include "hk_registry.h"

namespace {

const char ServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon";
const char ParametersKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon\\Parameters";

PelvonctlRegistryWrite ServiceMissing()
{
    return {PelvonctlErrorFileNotFound, "the pelvon service is not installed"};
}

} // namespace

PelvonctlRegistry PelvonctlPlatformRegistry()
{
    PelvonctlRegistry registry;
    registry.Read = [](const std::string& name) {
        PelvonctlRegistryRead read;
        if (!HkRegKeyExists(ServiceKey)) {
            read.State = PelvonctlRegistryState::ServiceAbsent;
        } else if (!HkRegKeyExists(ParametersKey)) {
            read.State = PelvonctlRegistryState::KeyAbsent;
        } else if (const auto value = HkRegGetValue(ParametersKey, name)) {
            read.State = PelvonctlRegistryState::Present;
            read.Value = {value->Type, value->Data};
        } else {
            read.State = PelvonctlRegistryState::ValueAbsent;
        }
        return read;
    };
    registry.Write = [](const std::string& name, const PelvonctlRegistryValue& value) {
        if (!HkRegKeyExists(ServiceKey)) {
            return ServiceMissing();
        }
        HkRegSetValue(ParametersKey, name, value.Type, value.Data);
        return PelvonctlRegistryWrite{};
    };
    registry.CheckWritable = [] { return HkRegKeyExists(ServiceKey) ? PelvonctlRegistryWrite{} : ServiceMissing(); };
    return registry;
}
