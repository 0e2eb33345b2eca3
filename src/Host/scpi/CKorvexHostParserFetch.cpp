// The replies of the measurement queries FETCh, READ and MEASure: ASCII items, or one
// definite-length block "#6%06u" of the raw values (little-endian, as the result stores
// hold them) when the host's format is not "ASCii".
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/handlers/MeasurementCommands.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/StatusTables.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

constexpr eSCPIErrorEvent RowHardwareError = static_cast<eSCPIErrorEvent>(62);     // -240
constexpr eSCPIErrorEvent RowFirmwareError = static_cast<eSCPIErrorEvent>(127);    // 200
constexpr eSCPIErrorEvent RowNoSelectedChannel = static_cast<eSCPIErrorEvent>(129);// 202
constexpr eSCPIErrorEvent RowDataMissing = static_cast<eSCPIErrorEvent>(131);      // 204

// A getter's "no data" ends the reply.
void Need(int result)
{
    if (result != 0) throw RowDataMissing;
}

// A failed unit conversion: the figure must not go out under the selected unit's name.
void NeedConverted(int result)
{
    if (result == eNoProbeSelected) throw RowNoSelectedChannel;
    if (result != 0) throw RowFirmwareError;
}

// Fixed point with digits decimals; never cut short.
std::string Fixed(double value, std::int32_t digits)
{
    if (digits < 0) digits = 0;
    if (digits > 30) digits = 30;
    const int n = std::snprintf(nullptr, 0, "%.*f", static_cast<int>(digits), value);
    if (n <= 0) return std::string();
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%.*f", static_cast<int>(digits), value);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// Default notation of an output string stream: general format, six significant digits.
template <typename T>
std::string General(T value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

float WordAsFloat(std::uint32_t word)
{
    float value = 0.0f;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

template <typename T>
void PutRaw(std::string& data, const T& value)
{
    data.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// The binary block, written in place behind its header.
void AppendBlock(ParsedCommand& record, const std::string& data)
{
    char header[16] = {};
    std::snprintf(header, sizeof header, "#6%06u", static_cast<unsigned>(data.size()));
    char* out = ReserveResponse(record, 8 + data.size(), true);
    if (out == nullptr) throw RowDataMissing;
    std::memcpy(out, header, 8);
    if (!data.empty()) std::memcpy(out + 8, data.data(), data.size());
}

std::string ChannelText(const std::vector<CKorvexChannel>& channels)
{
    std::string text = "(@";
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (i != 0) text += ",";
        const CKorvexChannel& address = channels[i];
        const unsigned levels =
            address.count < CKorvexChannel::MaxLevels ? address.count : CKorvexChannel::MaxLevels;
        for (unsigned level = 0; level < levels; ++level) {
            if (level != 0) text += "!";
            text += std::to_string(static_cast<unsigned>(address[level]));
        }
    }
    return text + ")";
}

using ArrayGetter = int (*)(const std::uint32_t*&, std::uint16_t);

// count words of an intermediate-results array; the requested count must fit the getter.
const std::uint32_t* GetArray(ArrayGetter getter, std::uint32_t count)
{
    if (count > 0xFFFF) throw RowDataMissing;
    const std::uint32_t* array = nullptr;
    Need(getter(array, static_cast<std::uint16_t>(count)));
    if (array == nullptr && count != 0) throw RowDataMissing;
    return array;
}

class FetchFormatter {
public:
    FetchFormatter(ParsedCommand& r, std::uint32_t n, std::int32_t d)
        : record(r), count(n), digits(d)
    {
        binary = CParameterNode::GetStringAttribute(g_pParametersFormat, eAttrValue) != "ASCii";
        unitName = CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrValue);
        unit = static_cast<std::uint32_t>(KorvexParseUnits(unitName));
    }

    void Format(std::uint8_t item)
    {
        switch (item) {
            case eFetchFlux: Flux(); break;
            case eFetchSigma: Floats(KorvexGetSigmaResult); break;
            case eFetchUniformity: Floats(KorvexGetUniformityResult); break;
            case eFetchChannel: Channels(); break;
            case eFetchTimestamp: Timestamps(); break;
            case eFetchStatus: Statuses(); break;
            case eFetchIfFrequency: Frequency(KorvexGetIfFrequencyResult); break;
            case eFetchSearchProgress: SearchProgress(); break;
            case eFetchRelaxation: Relaxation(); break;
            case eFetchRfFrequency: Frequency(KorvexGetRfFrequencyResult); break;
            case eFetchNmrSignal: Array({KorvexGetNmrSignalSamplePeriod}, "", KorvexGetNmrSignalArray); break;
            case eFetchFftBuffer: Array({KorvexGetFftBufferResolution}, " HZ", KorvexGetFftBufferArray); break;
            case eFetchSpectrum:
                Array({KorvexGetSpectrumCenterFrequency, KorvexGetSpectrumResolution}, " HZ",
                      KorvexGetSpectrumArray);
                break;
            case eFetchFit: Array({KorvexGetFitResidue}, "", KorvexGetFitArray); break;
            default: throw RowFirmwareError;
        }
    }

private:
    void Item(const std::string& text) { AppendResponse(record, text, true); }

    // Flux values converted from their stored unit into the selected one. In ASCII each
    // value is appended as soon as it is known; a block is appended only whole.
    void Flux()
    {
        std::string data;
        for (std::uint32_t i = 0; i < count; ++i) {
            double value = 0.0;
            std::uint32_t stored = 0;
            Need(KorvexGetFluxResult(i, value));
            Need(KorvexGetFluxUnitResult(i, stored));
            NeedConverted(KorvexConvertUnits(value, stored, unit, 0.0));
            if (binary)
                PutRaw(data, value);
            else
                Item(Fixed(value, digits) + " " + unitName);
        }
        if (binary) AppendBlock(record, data);
    }

    void Floats(int (*getter)(std::uint32_t, float&))
    {
        std::string data;
        for (std::uint32_t i = 0; i < count; ++i) {
            float value = 0.0f;
            Need(getter(i, value));
            if (binary)
                PutRaw(data, value);
            else
                Item(Fixed(value, digits));
        }
        if (binary) AppendBlock(record, data);
    }

    void Channels()
    {
        std::vector<CKorvexChannel> channels;
        for (std::uint32_t i = 0; i < count; ++i) {
            CKorvexChannel address;
            Need(KorvexGetChannelResult(i, address));
            channels.push_back(address);
        }
        if (!binary) {
            Item(ChannelText(channels));
            return;
        }
        const std::string block = AppendChannelBlock(channels);
        char* out = ReserveResponse(record, block.size(), true);
        if (out == nullptr) throw RowDataMissing;
        std::memcpy(out, block.data(), block.size());
    }

    void Timestamps()
    {
        std::string data;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t value = 0;
            Need(KorvexGetTimestampResult(i, value));
            if (binary)
                PutRaw(data, value);
            else
                Item(std::to_string(static_cast<unsigned long long>(value)));
        }
        if (binary) AppendBlock(record, data);
    }

    void Statuses()
    {
        std::string data;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint8_t value = 0;
            Need(KorvexGetStatusResult(i, value));
            const std::uint8_t flag = value != 0 ? 1 : 0;
            if (binary) {
                PutRaw(data, flag);
            } else {
                char text[8] = {};
                std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(flag));
                Item(text);
            }
        }
        if (binary) AppendBlock(record, data);
    }

    // One value; its block is built as text and appended as one item.
    static std::string Block(const std::string& data)
    {
        char header[16] = {};
        std::snprintf(header, sizeof header, "#6%06u", static_cast<unsigned>(data.size()));
        return header + data;
    }

    void Frequency(int (*getter)(double&))
    {
        double value = 0.0;
        Need(getter(value));
        if (binary) {
            std::string data;
            PutRaw(data, value);
            Item(Block(data));
        } else {
            Item(Fixed(value, digits) + " HZ");
        }
    }

    void Relaxation()
    {
        float value = 0.0f;
        Need(KorvexGetRelaxationTimeResult(value));
        if (binary) {
            std::string data;
            PutRaw(data, value);
            Item(Block(data));
        } else {
            Item(Fixed(value, digits) + " S");
        }
    }

    // The search frequency in the selected unit, converted before anything is appended.
    void SearchProgress()
    {
        std::uint8_t progress = 0;
        float frequency = 0.0f;
        KorvexGetSearchProgress(progress, frequency);
        double value = frequency;
        if (value >= 0.0) NeedConverted(KorvexConvertUnits(value, eUnitHZ, unit, 0.0));
        if (binary) {
            std::string data;
            PutRaw(data, progress);
            PutRaw(data, value);
            AppendBlock(record, data);
        } else {
            Item(std::to_string(static_cast<unsigned>(progress)) + " %");
            Item(General(value) + " " + unitName);
        }
    }

    // The scalars of an intermediate-results array (each with its unit text), then count
    // points.
    void Array(std::initializer_list<int (*)(float&)> scalars, const char* unitText,
               ArrayGetter getter)
    {
        std::vector<float> leading;
        for (auto scalar : scalars) {
            float value = 0.0f;
            Need(scalar(value));
            leading.push_back(value);
        }
        const std::uint32_t* words = GetArray(getter, count);
        if (binary) {
            std::string data;
            for (float value : leading) PutRaw(data, value);
            for (std::uint32_t i = 0; i < count; ++i) PutRaw(data, words[i]);
            AppendBlock(record, data);
            return;
        }
        for (float value : leading) Item(General(value) + unitText);
        for (std::uint32_t i = 0; i < count; ++i) Item(General(WordAsFloat(words[i])));
    }

    ParsedCommand& record;
    std::uint32_t count;
    std::int32_t digits;
    bool binary = false;
    std::string unitName;
    std::uint32_t unit = 0;
};

}  // namespace

void CKorvexHostParser::FormatFetchReply(ParsedCommand& record, std::uint8_t item,
                                         std::uint32_t count, std::int32_t digits)
{
    FetchFormatter formatter(record, count, digits);
    if (!CAcquisitionSeam::Instance().SystemUp()) throw RowHardwareError;
    formatter.Format(item);
}

}  // namespace Korvex
