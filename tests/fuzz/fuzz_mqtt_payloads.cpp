// Feeds arbitrary MQTT messages to the daemon's bridge over two simulated
// boards. The first byte says whether the message is retained (bit 0) and
// whether the topic starts with the base topic (bit 1); then the topic up to
// a newline, then the payload. Bad input and retained messages must leave the
// boards alone (a claim of a smaller id only stops the board being served),
// and nothing may be published outside the daemon's topics.
#include "engine/device/simulated_library.h"
#include "mqtt/relay_bridge.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdint>
#include <cstdlib>

namespace {
SimulatedLibrary* library = nullptr;
BoardService* service = nullptr;
RelayBridge* bridge = nullptr;
bool strayTopic = false;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);  // the program timers need an event dispatcher
    QLoggingCategory::setFilterRules(QStringLiteral("kestrune.mqtt=false"));
    library = new SimulatedLibrary;
    library->setLogging(false);
    library->addBoard();
    library->setSerial(library->addBoard(), QStringLiteral("AB.C:1"));
    service = new BoardService(*library, {{QStringLiteral("*")}, {}, 2000, {}, {}, {}, "kestrune/"});
    service->start();
    bridge = new RelayBridge(*service, {{"kestrune", "fuzz", "homeassistant"}, true}, [](const QByteArray& topic, const QByteArray&) {
        strayTopic |= !topic.startsWith("kestrune/") && !topic.startsWith("homeassistant/switch/") &&
                      !topic.startsWith("homeassistant/button/");
    });
    bridge->markersLearned();
    if (bridge->servedBoards().size() != 2)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool retained = data[0] & 1;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const qsizetype newline = rest.indexOf('\n');
    QByteArray topic = newline < 0 ? rest : rest.left(newline);
    const QByteArray payload = newline < 0 ? QByteArray() : rest.mid(newline + 1);
    if (data[0] & 2)
        topic.prepend("kestrune/");

    library->clearLog();
    bridge->handleMessage(topic, payload, retained);
    const MqttPayloads::Parsed parsed = MqttPayloads::parse(bridge->topics(), topic, payload);
    const bool wrote = !library->writes(0).empty() || !library->writes(1).empty();
    if (strayTopic || (wrote && !topic.endsWith("/owner") && (retained || !parsed.value)))
        std::abort();
    if (!retained && parsed.value) {
        const int board = parsed.value->board == "KSIM0001" ? 0 : parsed.value->board == "AB_C_1" ? 1 : -1;
        if (board < 0 && wrote)
            std::abort();
        const auto* state = std::get_if<MqttPayloads::StateCommand>(&parsed.value->action);
        if (state && board >= 0 && bridge->servedBoards().contains(parsed.value->board) &&
            library->pins(board) != state->pattern)
            std::abort();
    }
    // A board taken away by a claim is served again for the next input.
    if (bridge->servedBoards().size() != 2) {
        for (const QByteArray node : {"KSIM0001", "AB_C_1"})
            bridge->handleMessage("kestrune/" + node + "/owner", {}, false);
        service->scan();
        if (bridge->servedBoards().size() != 2)
            std::abort();
    }
    return 0;
}
