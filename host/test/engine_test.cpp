// The engine model as the audio driver sees it: what each command answers,
// what it keeps, what it records, and the conduct it reports.
#include "host/engine/clock.h"
#include "host/engine/companion.h"
#include "host/engine/engine.h"
#include "host/kernel/conduct.h"
#include "host/kernel/iomanager.h"
#include "host/kernel/irql.h"
#include "host/test/support/engineexpect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

using host::ViolationCapture;
using host::ViolationKind;
using host::engine::Engine;

namespace
{

VOID NTAPI IgnoreNotify(ULONG, ULONG, PVOID) {}

ENGINE_NOTIFY_PARAMS NotifyBlock(ULONG capture, ULONG device, ULONG pin, PENGINE_NOTIFY callback,
                                 PVOID context)
{
    ENGINE_NOTIFY_PARAMS block = {};
    block.Capture = capture;
    block.DeviceIndex = device;
    block.Pin = pin;
    block.Callback = callback;
    block.CallbackContext = context;
    return block;
}

ENGINE_BUFFER_PARAMS BufferBlock(ULONG device, ULONG pin, ULONG channels, PVOID buffer,
                                 ULONG periodBytes)
{
    ENGINE_BUFFER_PARAMS block = {};
    block.Capture = 0;
    block.DeviceIndex = device;
    block.Pin = pin;
    block.Channels = channels;
    block.Buffer = buffer;
    block.PeriodBytes = periodBytes;
    block.BufferChannels = channels;
    return block;
}

ENGINE_STREAM_PARAMS StreamBlock(ULONG capture, ULONG device, ULONG pin, ULONG channels)
{
    return ENGINE_STREAM_PARAMS{capture, device, pin, channels};
}

ULONG AskRate(Engine& engine, ULONG wanted)
{
    ENGINE_RATE_PARAMS rate = {wanted, 0xDEADBEEF};
    Engine::Call(engine.Context(), ENGINE_CMD_SAMPLE_RATE, &rate);
    return rate.CurrentRate;
}

// Registers a callback and attaches a correctly sized buffer, so that START
// is legal; returns the buffer.
std::vector<BYTE> PrepareStream(Engine& engine, ULONG device, ULONG pin, ULONG channels)
{
    std::vector<BYTE> buffer(2 * engine.PeriodFrames() * channels * 4);
    auto notify = NotifyBlock(0, device, pin, &IgnoreNotify, &engine);
    engine.Execute(ENGINE_CMD_REGISTER_NOTIFY, &notify);
    auto attach =
        BufferBlock(device, pin, channels, buffer.data(), engine.PeriodFrames() * channels * 4);
    engine.Execute(ENGINE_CMD_ATTACH_BUFFER, &attach);
    return buffer;
}

} // namespace

TEST(EngineRecord, KeepsEveryCommandInOrderWithItsBlockAsIssuedAndAnswered)
{
    Engine engine;
    ENGINE_PERIOD_PARAMS period = {0x1234};
    ENGINE_RATE_PARAMS rate = {0, 0x5555};
    ENGINE_FORMAT_PARAMS format = {2, 48000, 6, 24, 0, 0x77};

    Engine::Call(engine.Context(), ENGINE_CMD_GET_PERIOD, &period);
    Engine::Call(engine.Context(), ENGINE_CMD_SAMPLE_RATE, &rate);
    Engine::Call(engine.Context(), ENGINE_CMD_SET_FORMAT, &format);
    Engine::Call(engine.Context(), ENGINE_CMD_GET_PERIOD, &period);

    ExpectEngineCommands(engine, {ENGINE_CMD_GET_PERIOD, ENGINE_CMD_SAMPLE_RATE,
                                  ENGINE_CMD_SET_FORMAT, ENGINE_CMD_GET_PERIOD});
    ExpectEngineCommandCount(engine, ENGINE_CMD_GET_PERIOD, 2);

    const auto commands = engine.Commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[1].blockAddress, &rate);
    const auto& issuedRate = std::get<ENGINE_RATE_PARAMS>(commands[1].issued);
    const auto& answeredRate = std::get<ENGINE_RATE_PARAMS>(commands[1].answered);
    EXPECT_EQ(issuedRate.CurrentRate, 0x5555u);
    EXPECT_EQ(answeredRate.CurrentRate, 48000u);

    const auto issuedFormat = engine.LastBlock<ENGINE_FORMAT_PARAMS>();
    ASSERT_TRUE(issuedFormat.has_value());
    EXPECT_EQ(issuedFormat->DeviceIndex, 2u);
    EXPECT_EQ(issuedFormat->SampleRate, 48000u);
    EXPECT_EQ(issuedFormat->Channels, 6u);
    EXPECT_EQ(issuedFormat->BitsPerSample, 24u);
    EXPECT_EQ(issuedFormat->Result, 0x77u) << "the issued copy is taken before the answer";

    engine.ClearCommands();
    ExpectEngineCommands(engine, {});
    EXPECT_FALSE(engine.LastBlock<ENGINE_FORMAT_PARAMS>().has_value());
}

TEST(EngineRecord, TellsStartFromStopAndRecordsTheCallersLevel)
{
    Engine engine;
    auto buffer = PrepareStream(engine, 1, 0, 2);
    auto start = StreamBlock(0, 1, 0, 2);
    engine.Execute(ENGINE_CMD_START, &start);
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        auto stop = StreamBlock(0, 1, 0, 7);
        engine.Execute(ENGINE_CMD_STOP, &stop);
    }

    EXPECT_EQ(engine.LastBlock<ENGINE_STREAM_PARAMS>(ENGINE_CMD_START)->Channels, 2u);
    EXPECT_EQ(engine.LastBlock<ENGINE_STREAM_PARAMS>(ENGINE_CMD_STOP)->Channels, 7u);
    EXPECT_EQ(engine.LastBlock<ENGINE_STREAM_PARAMS>()->Channels, 7u);
    const auto commands = engine.Commands();
    EXPECT_EQ(commands.back().irql, DISPATCH_LEVEL);
    EXPECT_EQ(commands.front().irql, PASSIVE_LEVEL);
}

// SAMPLE_RATE: 0 asks; a supported rate is taken; any other is answered with
// the rate the device keeps. Starting from 48000 with the default set.
struct RateCase
{
    ULONG wanted;
    ULONG answered; // and the device's rate afterwards
};

class EngineSampleRate : public ::testing::TestWithParam<RateCase>
{
};

TEST_P(EngineSampleRate, AnswersWithTheDeviceRate)
{
    Engine engine;
    EXPECT_EQ(AskRate(engine, GetParam().wanted), GetParam().answered);
    EXPECT_EQ(engine.SampleRate(), GetParam().answered);
}

INSTANTIATE_TEST_SUITE_P(DefaultSet, EngineSampleRate,
                         ::testing::Values(RateCase{0, 48000}, RateCase{44100, 44100},
                                           RateCase{48000, 48000}, RateCase{96000, 96000},
                                           RateCase{192000, 192000}, RateCase{22050, 48000},
                                           RateCase{48001, 48000}, RateCase{384000, 48000}));

TEST(EngineSampleRateSet, IsConfigurableAndAnUnsupportedRequestKeepsTheLastTakenRate)
{
    Engine engine;
    engine.SetSupportedRates({32000, 44100});
    EXPECT_EQ(AskRate(engine, 48000), 48000u) << "48000 is no longer supported, but is kept";
    EXPECT_EQ(AskRate(engine, 32000), 32000u);
    EXPECT_EQ(AskRate(engine, 96000), 32000u);
    EXPECT_EQ(AskRate(engine, 0), 32000u);
}

TEST(EnginePeriod, AnswersTheConfiguredPeriodOfAtLeastOneFrame)
{
    Engine engine;
    ENGINE_PERIOD_PARAMS period = {0};
    engine.Execute(ENGINE_CMD_GET_PERIOD, &period);
    EXPECT_EQ(period.PeriodFrames, Engine::kDefaultPeriodFrames);

    engine.SetPeriodFrames(1);
    engine.Execute(ENGINE_CMD_GET_PERIOD, &period);
    EXPECT_EQ(period.PeriodFrames, 1u);

    EXPECT_THROW(engine.SetPeriodFrames(0), std::invalid_argument);
    EXPECT_EQ(engine.PeriodFrames(), 1u);
}

TEST(EngineSetFormat, WritesTheConfiguredResultAndKeepsOnlyAcceptedFormats)
{
    Engine engine;
    ENGINE_FORMAT_PARAMS first = {3, 96000, 2, 16, 0, 0xFFFF};
    engine.Execute(ENGINE_CMD_SET_FORMAT, &first);
    EXPECT_EQ(first.Result, 0u);
    ASSERT_TRUE(engine.AcceptedFormat(3).has_value());
    EXPECT_EQ(engine.AcceptedFormat(3)->SampleRate, 96000u);

    engine.SetFormatResult(STATUS_NOT_SUPPORTED);
    ENGINE_FORMAT_PARAMS refused = {3, 44100, 2, 32, 1, 0};
    engine.Execute(ENGINE_CMD_SET_FORMAT, &refused);
    EXPECT_EQ(refused.Result, static_cast<ULONG>(STATUS_NOT_SUPPORTED));
    EXPECT_EQ(engine.AcceptedFormat(3)->SampleRate, 96000u) << "a refused format is not kept";
    EXPECT_FALSE(engine.AcceptedFormat(0).has_value());
}

TEST(EngineStream, KeepsRegistrationBufferAndRunStatePerStream)
{
    Engine engine;
    int context = 0;
    auto notify = NotifyBlock(0, 2, 0, &IgnoreNotify, &context);
    notify.Unused = 0xA5A5A5A5;
    engine.Execute(ENGINE_CMD_REGISTER_NOTIFY, &notify);
    EXPECT_EQ(notify.Unused, 0xA5A5A5A5u) << "the engine does not write the unused field";

    std::vector<BYTE> buffer(2 * 480 * 6 * 4);
    auto attach = BufferBlock(2, 0, 6, buffer.data(), 480 * 6 * 4);
    engine.Execute(ENGINE_CMD_ATTACH_BUFFER, &attach);
    auto start = StreamBlock(0, 2, 0, 6);
    engine.Execute(ENGINE_CMD_START, &start);

    auto stream = engine.Stream(0, 2, 0);
    ASSERT_TRUE(stream.has_value());
    EXPECT_EQ(stream->callback, &IgnoreNotify);
    EXPECT_EQ(stream->callbackContext, &context);
    EXPECT_EQ(stream->buffer, buffer.data());
    EXPECT_EQ(stream->periodBytes, 480u * 6 * 4);
    EXPECT_EQ(stream->bufferChannels, 6u);
    EXPECT_TRUE(stream->started);
    EXPECT_FALSE(engine.Stream(0, 1, 0).has_value()) << "streams of other devices are apart";
    ASSERT_EQ(engine.StartedStreams().size(), 1u);
    EXPECT_EQ(engine.StartedStreams()[0].deviceIndex, 2u);

    auto stop = StreamBlock(0, 2, 0, 6);
    engine.Execute(ENGINE_CMD_STOP, &stop);
    auto detach = BufferBlock(2, 0, 0, nullptr, 0);
    detach.Channels = 6;
    engine.Execute(ENGINE_CMD_ATTACH_BUFFER, &detach);
    auto clear = NotifyBlock(0, 2, 0, nullptr, nullptr);
    engine.Execute(ENGINE_CMD_REGISTER_NOTIFY, &clear);

    stream = engine.Stream(0, 2, 0);
    EXPECT_FALSE(stream->started);
    EXPECT_EQ(stream->buffer, nullptr);
    EXPECT_EQ(stream->periodBytes, 0u);
    EXPECT_EQ(stream->callback, nullptr);
    EXPECT_EQ(stream->callbackContext, nullptr);
}

// What TakeOutput moves out, taken at any point (inside a period too), adds
// up to what the stream played, and the records go on counting where the
// stream is in its whole output.
TEST(EngineStream, TakeOutputHandsOverWhatWasPlayedInPiecesThatAddUp)
{
    Engine engine;
    engine.SetPeriodFrames(8);
    std::vector<BYTE> buffer = PrepareStream(engine, 1, 0, 2);
    const std::size_t periodBytes = 8 * 2 * 4;
    // Half 0 holds a pattern, half 1 silence: the periods alternate.
    for (std::size_t i = 0; i < periodBytes; ++i)
        buffer[i] = static_cast<BYTE>(i + 1);
    auto start = StreamBlock(0, 1, 0, 2);
    engine.Execute(ENGINE_CMD_START, &start);
    host::engine::VirtualClock clock(engine);

    std::vector<BYTE> played;
    std::vector<host::engine::PeriodRecord> takes;
    for (ULONG frames : {3u, 9u, 8u, 12u})
    {
        clock.AdvanceFrames(frames);
        host::engine::PlayedOutput part = engine.TakeOutput({0, 1, 0});
        EXPECT_EQ(part.outputFrom, played.size());
        played.insert(played.end(), part.output.begin(), part.output.end());
        takes.insert(takes.end(), part.periods.begin(), part.periods.end());
    }
    ASSERT_EQ(played.size(), 4 * periodBytes);
    for (std::size_t k = 0; k < 4; ++k)
    {
        SCOPED_TRACE(k);
        const auto period = played.begin() + static_cast<std::ptrdiff_t>(k * periodBytes);
        if (k % 2 == 0)
            EXPECT_TRUE(std::equal(
                buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(periodBytes), period));
        else
            EXPECT_TRUE(std::all_of(period, period + static_cast<std::ptrdiff_t>(periodBytes),
                                    [](BYTE b) { return b == 0; }));
    }
    ASSERT_GE(takes.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k)
    {
        EXPECT_EQ(takes[k].index, k);
        EXPECT_EQ(takes[k].outputBytes, k * periodBytes);
    }
    const auto record = engine.Stream(0, 1, 0);
    EXPECT_TRUE(record->output.empty());
    EXPECT_EQ(record->silentPeriods, 2u) << "a silent period counts, taken out or not";
    EXPECT_EQ(engine.TakeOutput({0, 3, 0}).output.size(), 0u) << "no such stream";
}

TEST(EngineStream, PowerDownStopWithCaptureFourStopsEveryStream)
{
    Engine engine;
    auto first = PrepareStream(engine, 0, 0, 2);
    auto second = PrepareStream(engine, 3, 0, 6);
    auto start0 = StreamBlock(0, 0, 0, 2);
    auto start3 = StreamBlock(0, 3, 0, 6);
    engine.Execute(ENGINE_CMD_START, &start0);
    engine.Execute(ENGINE_CMD_START, &start3);
    ASSERT_EQ(engine.StartedStreams().size(), 2u);

    auto powerDown = StreamBlock(4, 0, 0, 0);
    engine.Execute(ENGINE_CMD_STOP, &powerDown);
    EXPECT_TRUE(engine.StartedStreams().empty());
}

TEST(EnginePosition, AnswersTheDevicePositionUnreduced)
{
    Engine engine;
    engine.SetDevicePosition(3 * 480 + 17);
    ENGINE_POSITION_PARAMS position = {0, 4, 0};
    engine.Execute(ENGINE_CMD_GET_POSITION, &position);
    EXPECT_EQ(position.Position, 3u * 480 + 17);
    EXPECT_EQ(position.Capture, 0u);
    EXPECT_EQ(position.PinOffset, 4u);
}

TEST(EngineConduct, ReportsACommandWithoutABlock)
{
    Engine engine;
    ViolationCapture capture;
    EXPECT_EQ(Engine::Call(engine.Context(), ENGINE_CMD_GET_POSITION, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "GET_POSITION sent without a parameter"));
    ExpectEngineCommands(engine, {ENGINE_CMD_GET_POSITION});
}

TEST(EngineConduct, ReportsStartWithoutBufferOrCallback)
{
    Engine engine;
    ViolationCapture capture;
    auto start = StreamBlock(0, 1, 0, 2);
    engine.Execute(ENGINE_CMD_START, &start);
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "with no buffer attached"));
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "with no callback registered"));
    EXPECT_EQ(capture.Count(), 2u);

    capture.Take();
    auto buffer = PrepareStream(engine, 1, 0, 2);
    engine.Execute(ENGINE_CMD_START, &start);
    EXPECT_EQ(capture.Count(), 0u) << "a prepared stream starts without complaint";
}

// ATTACH_BUFFER: PeriodBytes must be period frames x channels x 4.
struct AttachCase
{
    ULONG channels;
    ULONG periodBytes;
    bool legal;
};

// Printed by value: the padding bytes of the raw dump would make CTest's
// names differ from build to build.
void PrintTo(const AttachCase& value, std::ostream* out)
{
    *out << value.channels << " channels, " << value.periodBytes << " bytes"
         << (value.legal ? "" : " (refused)");
}

class EngineAttachSize : public ::testing::TestWithParam<AttachCase>
{
};

TEST_P(EngineAttachSize, ReportsABufferThatIsNotTwoPeriods)
{
    Engine engine;
    engine.SetPeriodFrames(100);
    std::vector<BYTE> buffer(2 * 100 * 8 * 4);
    ViolationCapture capture;
    auto attach = BufferBlock(0, 0, GetParam().channels, buffer.data(), GetParam().periodBytes);
    engine.Execute(ENGINE_CMD_ATTACH_BUFFER, &attach);
    EXPECT_EQ(capture.Contains(ViolationKind::Custom, "is not one period"), !GetParam().legal);
}

INSTANTIATE_TEST_SUITE_P(PeriodOfHundredFrames, EngineAttachSize,
                         ::testing::Values(AttachCase{2, 800, true}, AttachCase{6, 2400, true},
                                           AttachCase{2, 400, false},  // 16-bit samples
                                           AttachCase{2, 1600, false}, // both halves
                                           AttachCase{6, 800, false},  // stereo period
                                           AttachCase{2, 0, false}),
                         [](const ::testing::TestParamInfo<AttachCase>& info)
                         {
                             return std::to_string(info.param.channels) + "Channels" +
                                    std::to_string(info.param.periodBytes) + "Bytes";
                         });

TEST(EngineConduct, ReportsBufferChannelsThatDifferFromChannels)
{
    Engine engine;
    std::vector<BYTE> buffer(2 * 480 * 2 * 4);
    auto attach = BufferBlock(0, 0, 2, buffer.data(), 480 * 2 * 4);
    attach.BufferChannels = 6;
    ViolationCapture capture;
    engine.Execute(ENGINE_CMD_ATTACH_BUFFER, &attach);
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "BufferChannels 6 differs"));
}

TEST(EngineConduct, RecordsAndIgnoresAnUnknownCommand)
{
    Engine engine;
    ULONG block[4] = {1, 2, 3, 4};
    ViolationCapture capture;
    EXPECT_EQ(engine.Execute(7, block), STATUS_NOT_SUPPORTED);
    ExpectEngineCommands(engine, {7});
    EXPECT_EQ(block[0], 1u);
    EXPECT_EQ(block[3], 4u);
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(engine.Commands()[0].issued));
}

TEST(EngineConduct, ReportsANullEngineContext)
{
    ViolationCapture capture;
    ENGINE_PERIOD_PARAMS period = {};
    EXPECT_EQ(Engine::Call(nullptr, ENGINE_CMD_GET_PERIOD, &period), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "null engine context"));
}

TEST(EngineThreads, RecordsEveryCommandSentFromSeveralThreads)
{
    Engine engine;
    constexpr int kThreads = 4;
    constexpr int kCommandsEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&engine]
            {
                host::ScopedIrql atDispatch(DISPATCH_LEVEL);
                for (int i = 0; i < kCommandsEach; ++i)
                {
                    ENGINE_POSITION_PARAMS position = {};
                    Engine::Call(engine.Context(), ENGINE_CMD_GET_POSITION, &position);
                }
            });
    }
    for (auto& thread : threads)
        thread.join();
    ExpectEngineCommandCount(engine, ENGINE_CMD_GET_POSITION,
                             std::size_t{kThreads * kCommandsEach});
}

// --- the companion driver, through real requests -----------------------------

namespace
{

using host::engine::CompanionDriver;
using host::engine::QueryAnswer;

constexpr ULONG kInstanceCountMark = 0x1A2B3C4D;
constexpr ULONG kReservedMark = 0x5E6F7081;

// An ENGINE_INTERFACE record as the driver keeps it: the fields the
// companion must not touch carry marks.
ENGINE_INTERFACE MarkedRecord()
{
    ENGINE_INTERFACE record;
    std::memset(&record, 0, sizeof(record));
    record.InstanceCount = kInstanceCountMark;
    record.Reserved = kReservedMark;
    return record;
}

// One IRP_MN_QUERY_INTERFACE sent to `device`, built the way the driver
// builds it.
class QueryRequest
{
public:
    QueryRequest(PDEVICE_OBJECT device, ENGINE_INTERFACE* record,
                 const GUID* type = &GUID_ENGINE_INTERFACE, USHORT size = sizeof(ENGINE_INTERFACE),
                 USHORT version = ENGINE_INTERFACE_VERSION)
        : m_device(device)
    {
        KeInitializeEvent(&m_event, NotificationEvent, FALSE);
        m_irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &m_event,
                                             &m_ioStatus);
        m_irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(m_irp);
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = type;
        stack->Parameters.QueryInterface.Size = size;
        stack->Parameters.QueryInterface.Version = version;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(record);
        stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    }

    NTSTATUS Send() { return IoCallDriver(m_device, m_irp); }
    bool Completed() { return KeReadStateEvent(&m_event) != 0; }
    NTSTATUS WaitForStatus()
    {
        KeWaitForSingleObject(&m_event, Executive, KernelMode, FALSE, nullptr);
        return m_ioStatus.Status;
    }

private:
    PDEVICE_OBJECT m_device;
    KEVENT m_event;
    IO_STATUS_BLOCK m_ioStatus{};
    PIRP m_irp = nullptr;
};

NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildSynchronousFsdRequest(major, device, nullptr, 0, nullptr, &event, &ioStatus);
    if (major == IRP_MJ_PNP)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
    return IoCallDriver(device, irp);
}

void ExpectAnsweredWithTheEngine(const ENGINE_INTERFACE& record, CompanionDriver& companion)
{
    EXPECT_EQ(record.Header.Size, sizeof(ENGINE_INTERFACE));
    EXPECT_EQ(record.Header.Version, ENGINE_INTERFACE_VERSION);
    EXPECT_EQ(record.Header.Context, &companion);
    EXPECT_NE(record.Header.InterfaceReference, nullptr);
    EXPECT_NE(record.Header.InterfaceDereference, nullptr);
    EXPECT_EQ(record.EngineCall, &Engine::Call);
    EXPECT_EQ(record.EngineContext, companion.Engine().Context());
    EXPECT_EQ(record.InstanceCount, kInstanceCountMark) << "InstanceCount is the driver's";
    EXPECT_EQ(record.Reserved, kReservedMark);
}

void ExpectUntouched(const ENGINE_INTERFACE& record)
{
    const ENGINE_INTERFACE marked = MarkedRecord();
    EXPECT_EQ(std::memcmp(&record, &marked, sizeof(record)), 0);
}

} // namespace

TEST(CompanionQuery, AnswersAtOnceInsideTheDispatchRoutine)
{
    CompanionDriver companion;
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record);
    EXPECT_EQ(query.Send(), STATUS_SUCCESS);
    EXPECT_TRUE(query.Completed());
    EXPECT_EQ(query.WaitForStatus(), STATUS_SUCCESS);
    ExpectAnsweredWithTheEngine(record, companion);
    EXPECT_EQ(companion.EngineAnswers(), 1u);

    // The record reaches the model's engine.
    ENGINE_PERIOD_PARAMS period = {};
    record.EngineCall(record.EngineContext, ENGINE_CMD_GET_PERIOD, &period);
    EXPECT_EQ(period.PeriodFrames, Engine::kDefaultPeriodFrames);
    ExpectEngineCommands(companion.Engine(), {ENGINE_CMD_GET_PERIOD});
}

TEST(CompanionQuery, FromWorkerReturnsPendingAndCompletesOnAnotherThread)
{
    CompanionDriver companion;
    companion.SetQueryAnswer(QueryAnswer::FromWorker);
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record);
    EXPECT_EQ(query.Send(), STATUS_PENDING);
    EXPECT_EQ(query.WaitForStatus(), STATUS_SUCCESS);
    ExpectAnsweredWithTheEngine(record, companion);
}

TEST(CompanionQuery, WhenReleasedStaysPendingUntilTheTestReleasesIt)
{
    CompanionDriver companion;
    companion.SetQueryAnswer(QueryAnswer::WhenReleased);
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record);
    EXPECT_EQ(query.Send(), STATUS_PENDING);
    EXPECT_TRUE(companion.HoldsQuery());
    EXPECT_FALSE(query.Completed());
    ExpectUntouched(record);

    companion.ReleaseHeldQuery();
    EXPECT_TRUE(query.Completed());
    EXPECT_EQ(query.WaitForStatus(), STATUS_SUCCESS);
    ExpectAnsweredWithTheEngine(record, companion);
    EXPECT_FALSE(companion.HoldsQuery());
}

TEST(CompanionQuery, NeverLeavesThePresetStatusAndTheRecord)
{
    CompanionDriver companion;
    companion.SetQueryAnswer(QueryAnswer::Never);
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record);
    EXPECT_EQ(query.Send(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(query.WaitForStatus(), STATUS_NOT_SUPPORTED);
    ExpectUntouched(record);
    ASSERT_EQ(companion.Queries().size(), 1u);
    EXPECT_TRUE(companion.Queries()[0].forEngine);
    EXPECT_EQ(companion.EngineAnswers(), 0u);
}

// Only the engine's GUID, version 1 and room for 56 bytes are answered.
struct ForeignQuery
{
    const char* what;
    const GUID* type;
    USHORT size;
    USHORT version;
};

class CompanionForeignQuery : public ::testing::TestWithParam<ForeignQuery>
{
};

TEST_P(CompanionForeignQuery, IsCompletedUntouched)
{
    CompanionDriver companion;
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record, GetParam().type, GetParam().size,
                       GetParam().version);
    EXPECT_EQ(query.Send(), STATUS_NOT_SUPPORTED);
    ExpectUntouched(record);
    ASSERT_EQ(companion.Queries().size(), 1u);
    EXPECT_FALSE(companion.Queries()[0].forEngine);
}

INSTANTIATE_TEST_SUITE_P(
    NotTheEngine, CompanionForeignQuery,
    ::testing::Values(ForeignQuery{"other GUID", &GUID_NULL, 56, 1},
                      ForeignQuery{"no GUID", nullptr, 56, 1},
                      ForeignQuery{"version 2", &GUID_ENGINE_INTERFACE, 56, 2},
                      ForeignQuery{"version 0", &GUID_ENGINE_INTERFACE, 56, 0},
                      ForeignQuery{"header only", &GUID_ENGINE_INTERFACE, 32, 1},
                      ForeignQuery{"one byte short", &GUID_ENGINE_INTERFACE, 55, 1}),
    [](const auto& info)
    {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(CompanionQuery, RecordsWhatEachQueryAskedFor)
{
    CompanionDriver companion;
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record);
    query.Send();
    const auto queries = companion.Queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(queries[0].interfaceType, GUID_ENGINE_INTERFACE));
    EXPECT_EQ(queries[0].size, 56u);
    EXPECT_EQ(queries[0].version, 1u);
    EXPECT_EQ(queries[0].record, reinterpret_cast<PINTERFACE>(&record));
    EXPECT_EQ(queries[0].presetStatus, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(queries[0].requestorMode, KernelMode);
}

TEST(CompanionQuery, CountsCallsOfTheReferenceRoutines)
{
    CompanionDriver companion;
    ENGINE_INTERFACE record = MarkedRecord();
    QueryRequest query(companion.PhysicalDeviceObject(), &record);
    query.Send();
    EXPECT_EQ(companion.InterfaceReferences(), 0) << "the answer itself calls neither";
    record.Header.InterfaceReference(record.Header.Context);
    record.Header.InterfaceReference(record.Header.Context);
    record.Header.InterfaceDereference(record.Header.Context);
    EXPECT_EQ(companion.InterfaceReferences(), 2);
    EXPECT_EQ(companion.InterfaceDereferences(), 1);
}

TEST(CompanionPnp, StartsAndCompletesOtherRequestsWithTheirStatus)
{
    CompanionDriver companion;
    PDEVICE_OBJECT pdo = companion.PhysicalDeviceObject();
    const std::size_t irpsBefore = host::LiveIrpCount();
    EXPECT_EQ(SendPnp(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendPnp(pdo, IRP_MJ_CREATE, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(companion.StartRequests(), 1u);
    EXPECT_EQ(companion.OtherPnpRequests(), 1u);
    EXPECT_EQ(host::LiveIrpCount(), irpsBefore) << "every request was completed";
}
