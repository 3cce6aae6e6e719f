#include "pnp/queries.h"

#include <string>

#include "pnp/stack.h"
#include "tarvel/kernel.h"
#include "verifier/status_text.h"

namespace tarvel::pnp {

namespace {

// A successful answer whose record is missing, or an answer that fails but hands back a record, is one
// the platform would misread or leak.
void CheckAnswer(const char* query, NTSTATUS status, ULONG_PTR information, bool recordRequired) {
    if (NT_SUCCESS(status) && recordRequired && information == 0)
        kernel::VerifierStop("PnP query answered without its record", query, nullptr,
                             "status " + kernel::StatusText(status) + " with Information 0");
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && information != 0)
        kernel::VerifierStop("PnP query failed with a record", query, reinterpret_cast<void*>(information),
                             "status " + kernel::StatusText(status) + " with a record in Information");
}

void FreeRelations(ULONG_PTR information) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (relations == nullptr) return;
    for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
    ExFreePool(relations);
}

void QueryRelations(DeviceNode& node, DEVICE_RELATION_TYPE type, const char* name) {
    ULONG_PTR information = 0;
    const NTSTATUS status = SendPnp(
        node, IRP_MN_QUERY_DEVICE_RELATIONS,
        [type](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = type; }, &information);
    CheckAnswer(name, status, information, type == TargetDeviceRelation);
    if (NT_SUCCESS(status)) FreeRelations(information);
}

// An answer in pool that the asker frees (identifier strings, texts, resource lists).
void QueryPooled(DeviceNode& node, UCHAR minor, const char* name, const std::function<void(PIO_STACK_LOCATION)>& fill) {
    ULONG_PTR information = 0;
    const NTSTATUS status = SendPnp(node, minor, fill, &information);
    CheckAnswer(name, status, information, minor == IRP_MN_QUERY_ID || minor == IRP_MN_QUERY_DEVICE_TEXT);
    if (NT_SUCCESS(status) && information != 0) ExFreePool(reinterpret_cast<PVOID>(information));
}


} // namespace

void QueryStartedStack(DeviceNode& node) {
    QueryCapabilities(node);
    ULONG_PTR state = 0;
    const NTSTATUS stateStatus = SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &state);
    if (NT_SUCCESS(stateStatus)) node.pnpDeviceState = static_cast<PNP_DEVICE_STATE>(state);
    QueryRelations(node, BusRelations, "IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations)");
    for (BUS_QUERY_ID_TYPE id : {BusQueryDeviceID, BusQueryInstanceID, BusQueryHardwareIDs, BusQueryCompatibleIDs})
        QueryPooled(node, IRP_MN_QUERY_ID, "IRP_MN_QUERY_ID",
                    [id](PIO_STACK_LOCATION location) { location->Parameters.QueryId.IdType = id; });
    for (DEVICE_TEXT_TYPE text : {DeviceTextDescription, DeviceTextLocationInformation})
        QueryPooled(node, IRP_MN_QUERY_DEVICE_TEXT, "IRP_MN_QUERY_DEVICE_TEXT", [text](PIO_STACK_LOCATION location) {
            location->Parameters.QueryDeviceText.DeviceTextType = text;
            location->Parameters.QueryDeviceText.LocaleId = 0x409;
        });
    QueryPooled(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", {});
}

void QueryRemovalRelations(DeviceNode& node) {
    QueryRelations(node, RemovalRelations, "IRP_MN_QUERY_DEVICE_RELATIONS (RemovalRelations)");
}

} // namespace tarvel::pnp
