#include "engine/engineabsent.h"

VOID UseAbsentEngine(PENGINE_INTERFACE Engine)
{
    Engine->EngineCall = AbsentEngineCall;
    Engine->EngineContext = NULL;
}

NTSTATUS NTAPI AbsentEngineCall(PVOID EngineContext, ULONG Command, PVOID Parameters)
{
    UNREFERENCED_PARAMETER(EngineContext);
    if (Parameters == NULL)
    {
        return STATUS_DEVICE_NOT_READY;
    }
    switch (Command)
    {
    case ENGINE_CMD_SET_FORMAT:
        static_cast<PENGINE_FORMAT_PARAMS>(Parameters)->Result =
            static_cast<ULONG>(STATUS_DEVICE_NOT_READY);
        break;
    case ENGINE_CMD_SAMPLE_RATE:
        static_cast<PENGINE_RATE_PARAMS>(Parameters)->CurrentRate = 0;
        break;
    case ENGINE_CMD_GET_PERIOD:
        static_cast<PENGINE_PERIOD_PARAMS>(Parameters)->PeriodFrames = 0;
        break;
    case ENGINE_CMD_GET_POSITION:
        static_cast<PENGINE_POSITION_PARAMS>(Parameters)->Position = 0;
        break;
    default:
        // Registration, buffers, start and stop have nothing to answer.
        break;
    }
    return STATUS_DEVICE_NOT_READY;
}
