/*
 * ob_status.cpp - the resource-manager status codes with their texts, and
 * their translation into access-register statuses.
 */
#include "ob_status.h"

#include <stddef.h>

extern "C" {

const struct ob_status_entry g_StatusCodeList[] = {
    {0x0, "Success [OB_OK]"},
    {0xffff, "Failure: Generic Error [OB_ERR_GENERIC]"},
    {0x1, "Frame buffer is broken [OB_ERR_BROKEN_FB]"},
    {0x2, "Buffer passed in is too small [OB_ERR_BUFFER_TOO_SMALL]"},
    {0x3, "System is busy, retry later [OB_ERR_BUSY_RETRY]"},
    {0x4, "Callback could not be scheduled [OB_ERR_CALLBACK_NOT_SCHEDULED]"},
    {0x5, "Card is not present [OB_ERR_CARD_NOT_PRESENT]"},
    {0x6, "A cycle was detected [OB_ERR_CYCLE_DETECTED]"},
    {0x7, "DMA is still in use [OB_ERR_DMA_IN_USE]"},
    {0x8, "DMA memory is not locked [OB_ERR_DMA_MEM_NOT_LOCKED]"},
    {0x9, "DMA memory is not unlocked [OB_ERR_DMA_MEM_NOT_UNLOCKED]"},
    {0xa, "Dual link is in use [OB_ERR_DUAL_LINK_INUSE]"},
    {0xb, "An ECC error occurred [OB_ERR_ECC_ERROR]"},
    {0xc, "FIFO was accessed badly [OB_ERR_FIFO_BAD_ACCESS]"},
    {0xd, "Frequency is not supported [OB_ERR_FREQ_NOT_SUPPORTED]"},
    {0xe, "GPU DMA is not initialized [OB_ERR_GPU_DMA_NOT_INITIALIZED]"},
    {0xf, "GPU is lost [OB_ERR_GPU_IS_LOST]"},
    {0x10, "GPU is in a full-chip reset [OB_ERR_GPU_IN_FULLCHIP_RESET]"},
    {0x11, "GPU is not at full power [OB_ERR_GPU_NOT_FULL_POWER]"},
    {0x12, "GPU UUID was not found [OB_ERR_GPU_UUID_NOT_FOUND]"},
    {0x13, "System is in a hot switch [OB_ERR_HOT_SWITCH]"},
    {0x14, "I2C error [OB_ERR_I2C_ERROR]"},
    {0x15, "I2C speed is too high [OB_ERR_I2C_SPEED_TOO_HIGH]"},
    {0x16, "Action is not legal [OB_ERR_ILLEGAL_ACTION]"},
    {0x17, "Resource is already in use [OB_ERR_IN_USE]"},
    {0x18, "Compressed data could not be inflated [OB_ERR_INFLATE_COMPRESSED_DATA_FAILED]"},
    {0x19, "Name is already present [OB_ERR_INSERT_DUPLICATE_NAME]"},
    {0x1a, "Ran out of a critical resource, other than memory [OB_ERR_INSUFFICIENT_RESOURCES]"},
    {0x1b, "The requester does not have sufficient permissions [OB_ERR_INSUFFICIENT_PERMISSIONS]"},
    {0x1c, "Power supply is insufficient [OB_ERR_INSUFFICIENT_POWER]"},
    {0x1d, "Access type is not valid [OB_ERR_INVALID_ACCESS_TYPE]"},
    {0x1e, "Address is not valid [OB_ERR_INVALID_ADDRESS]"},
    {0x1f, "Invalid argument to call [OB_ERR_INVALID_ARGUMENT]"},
    {0x20, "Base is not valid [OB_ERR_INVALID_BASE]"},
    {0x21, "Channel is not valid [OB_ERR_INVALID_CHANNEL]"},
    {0x22, "Given class-id not valid [OB_ERR_INVALID_CLASS]"},
    {0x23, "Client is not valid [OB_ERR_INVALID_CLIENT]"},
    {0x24, "Command is not valid [OB_ERR_INVALID_COMMAND]"},
    {0x25, "Data is not valid [OB_ERR_INVALID_DATA]"},
    {0x26, "Current device is not valid [OB_ERR_INVALID_DEVICE]"},
    {0x27, "DMA specifier is not valid [OB_ERR_INVALID_DMA_SPECIFIER]"},
    {0x28, "Event is not valid [OB_ERR_INVALID_EVENT]"},
    {0x29, "Invalid flags passed [OB_ERR_INVALID_FLAGS]"},
    {0x2a, "Function is not valid [OB_ERR_INVALID_FUNCTION]"},
    {0x2b, "Heap is not valid [OB_ERR_INVALID_HEAP]"},
    {0x2c, "Index is not valid [OB_ERR_INVALID_INDEX]"},
    {0x2d, "IRQ level is not valid [OB_ERR_INVALID_IRQ_LEVEL]"},
    {0x2e, "Limit is not valid [OB_ERR_INVALID_LIMIT]"},
    {0x2f, "Lock state is not valid [OB_ERR_INVALID_LOCK_STATE]"},
    {0x30, "Method is not valid [OB_ERR_INVALID_METHOD]"},
    {0x31, "Object is not valid [OB_ERR_INVALID_OBJECT]"},
    {0x32, "Object buffer is not valid [OB_ERR_INVALID_OBJECT_BUFFER]"},
    {0x33, "Object handle is not valid [OB_ERR_INVALID_OBJECT_HANDLE]"},
    {0x34, "New object is not valid [OB_ERR_INVALID_OBJECT_NEW]"},
    {0x35, "Old object is not valid [OB_ERR_INVALID_OBJECT_OLD]"},
    {0x36, "Object parent is not valid [OB_ERR_INVALID_OBJECT_PARENT]"},
    {0x37, "The offset passed is not valid [OB_ERR_INVALID_OFFSET]"},
    {0x38, "Operation is not valid [OB_ERR_INVALID_OPERATION]"},
    {0x39, "Owner is not valid [OB_ERR_INVALID_OWNER]"},
    {0x3a, "Parameter structure is not valid [OB_ERR_INVALID_PARAM_STRUCT]"},
    {0x3b, "At least one of the parameters passed is not valid [OB_ERR_INVALID_PARAMETER]"},
    {0x3c, "Path is not valid [OB_ERR_INVALID_PATH]"},
    {0x3d, "Pointer not valid [OB_ERR_INVALID_POINTER]"},
    {0x3e, "Registry key is not valid [OB_ERR_INVALID_REGISTRY_KEY]"},
    {0x3f, "Request is not valid [OB_ERR_INVALID_REQUEST]"},
    {0x40, "Generic Error: Invalid state [OB_ERR_INVALID_STATE]"},
    {0x41, "String length is not valid [OB_ERR_INVALID_STRING_LENGTH]"},
    {0x42, "Read is not valid [OB_ERR_INVALID_READ]"},
    {0x43, "Write is not valid [OB_ERR_INVALID_WRITE]"},
    {0x44, "Translation is not valid [OB_ERR_INVALID_XLATE]"},
    {0x45, "Interrupt is not firing [OB_ERR_IRQ_NOT_FIRING]"},
    {0x46, "Interrupt is edge triggered [OB_ERR_IRQ_EDGE_TRIGGERED]"},
    {0x47, "Memory training failed [OB_ERR_MEMORY_TRAINING_FAILED]"},
    {0x48, "Secondary does not match [OB_ERR_MISMATCHED_SLAVE]"},
    {0x49, "Target does not match [OB_ERR_MISMATCHED_TARGET]"},
    {0x4a, "Table entry is missing [OB_ERR_MISSING_TABLE_ENTRY]"},
    {0x4b, "Kernel module could not be loaded [OB_ERR_MODULE_LOAD_FAILED]"},
    {0x4c, "More data is available [OB_ERR_MORE_DATA_AVAILABLE]"},
    {0x4d, "More processing is required [OB_ERR_MORE_PROCESSING_REQUIRED]"},
    {0x4e, "Multiple memory types were given [OB_ERR_MULTIPLE_MEMORY_TYPES]"},
    {0x4f, "No free FIFOs are left [OB_ERR_NO_FREE_FIFOS]"},
    {0x50, "No interrupt is pending [OB_ERR_NO_INTR_PENDING]"},
    {0x51, "Out of memory [OB_ERR_NO_MEMORY]"},
    {0x52, "Domain does not exist [OB_ERR_NO_SUCH_DOMAIN]"},
    {0x53, "No valid path was found [OB_ERR_NO_VALID_PATH]"},
    {0x54, "Not compatible [OB_ERR_NOT_COMPATIBLE]"},
    {0x55, "Not ready [OB_ERR_NOT_READY]"},
    {0x56, "Call not supported [OB_ERR_NOT_SUPPORTED]"},
    {0x57, "Object was not found [OB_ERR_OBJECT_NOT_FOUND]"},
    {0x58, "Object type does not match [OB_ERR_OBJECT_TYPE_MISMATCH]"},
    {0x59, "Generic operating system error [OB_ERR_OPERATING_SYSTEM]"},
    {0x5a, "Another device was found [OB_ERR_OTHER_DEVICE_FOUND]"},
    {0x5b, "Value is out of range [OB_ERR_OUT_OF_RANGE]"},
    {0x5c, "Unified memory commits overlap [OB_ERR_OVERLAPPING_UVM_COMMIT]"},
    {0x5d, "Page table is not available [OB_ERR_PAGE_TABLE_NOT_AVAIL]"},
    {0x5e, "Process id was not found [OB_ERR_PID_NOT_FOUND]"},
    {0x5f, "Protection fault [OB_ERR_PROTECTION_FAULT]"},
    {0x60, "Robust channel error [OB_ERR_RC_ERROR]"},
    {0x61, "Video BIOS was rejected [OB_ERR_REJECTED_VBIOS]"},
    {0x62, "A reset is required [OB_ERR_RESET_REQUIRED]"},
    {0x63, "State is in use [OB_ERR_STATE_IN_USE]"},
    {0x64, "A signal is pending [OB_ERR_SIGNAL_PENDING]"},
    {0x65, "Call timed out [OB_ERR_TIMEOUT]"},
    {0x66, "Call timed out, please retry later [OB_ERR_TIMEOUT_RETRY]"},
    {0x67, "Too many primaries [OB_ERR_TOO_MANY_PRIMARIES]"},
    {0x68, "Unified memory address is in use [OB_ERR_UVM_ADDRESS_IN_USE]"},
    {0x69, "Session limit was reached [OB_ERR_MAX_SESSION_LIMIT_REACHED]"},
    {0x6a, "Library version doesn't match driver version [OB_ERR_LIB_RM_VERSION_MISMATCH]"},
    {0x6b, "Privilege security violation [OB_ERR_PRIV_SEC_VIOLATION]"},
    {0x6c, "GPU is in debug mode [OB_ERR_GPU_IN_DEBUG_MODE]"},
    {0x6d, "Feature is not enabled [OB_ERR_FEATURE_NOT_ENABLED]"},
    {0x6e, "Resource was lost [OB_ERR_RESOURCE_LOST]"},
    {0x6f, "PMU is not ready [OB_ERR_PMU_NOT_READY]"},
    {0x70, "Falcon error [OB_ERR_FLCN_ERROR]"},
    {0x71, "Fatal error [OB_ERR_FATAL_ERROR]"},
    {0x72, "Memory error [OB_ERR_MEMORY_ERROR]"},
    {0x74, "Oblink Init Error [OB_ERR_OBLINK_INIT_ERROR]"},
    {0x75, "Oblink Minion Error [OB_ERR_OBLINK_MINION_ERROR]"},
    {0x76, "Oblink Clock Error [OB_ERR_OBLINK_CLOCK_ERROR]"},
    {0x77, "Oblink Training Error [OB_ERR_OBLINK_TRAINING_ERROR]"},
    {0x78, "Oblink Configuration Error [OB_ERR_OBLINK_CONFIGURATION_ERROR]"},
    {0x79, "RISC-V error [OB_ERR_RISCV_ERROR]"},
    {0x7a, "Fabric manager is not present [OB_ERR_FABRIC_MANAGER_NOT_PRESENT]"},
    {0x7b, "Already signalled [OB_ERR_ALREADY_SIGNALLED]"},
    {0x7c, "No queue task slot is available [OB_ERR_QUEUE_TASK_SLOT_NOT_AVAILABLE]"},
    {0x7d, "Key rotation is in progress [OB_ERR_KEY_ROTATION_IN_PROGRESS]"},
    {0x10001, "WARNING Hot switch [OB_WARN_HOT_SWITCH]"},
    {0x10002, "WARNING Incorrect perfmon data [OB_WARN_INCORRECT_PERFMON_DATA]"},
    {0x10003, "WARNING Secondary does not match [OB_WARN_MISMATCHED_SLAVE]"},
    {0x10004, "WARNING Target does not match [OB_WARN_MISMATCHED_TARGET]"},
    {0x10005, "WARNING More processing required [OB_WARN_MORE_PROCESSING_REQUIRED]"},
    {0x10006, "WARNING Nothing to do [OB_WARN_NOTHING_TO_DO]"},
    {0x10007, "WARNING NULL object [OB_WARN_NULL_OBJECT]"},
    {0x10008, "WARNING Out of range [OB_WARN_OUT_OF_RANGE]"},
    {0xFFFFFFFFu, "Unknown error code!"},
};

const uint32_t g_StatusCodeCount = sizeof(g_StatusCodeList) / sizeof(g_StatusCodeList[0]);

const char* obstatusToString(uint32_t status)
{
    for (uint32_t i = 0; i + 1 < g_StatusCodeCount; i++) {
        if (g_StatusCodeList[i].value == status)
            return g_StatusCodeList[i].text;
    }
    return "Unknown error code!";
}

uint32_t TranslateObStatus(uint32_t status)
{
    switch (status) {
    case OB_OK: return 0;
    case OB_ERR_BUSY_RETRY: return 1;
    case OB_ERR_IN_USE: return 8;
    case OB_ERR_INVALID_CLASS: return 5;
    case OB_ERR_INVALID_FUNCTION: return 4;
    case OB_ERR_INVALID_METHOD: return 6;
    case OB_ERR_INVALID_PARAM_STRUCT: return 3;
    case OB_ERR_INVALID_PARAMETER: return 7;
    case OB_ERR_INVALID_STATE: return 0x70;
    case OB_ERR_MORE_PROCESSING_REQUIRED: return 9;
    default: return status;
    }
}

} /* extern "C" */
