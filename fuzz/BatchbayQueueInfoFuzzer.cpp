// Reads untrusted bytes as the answer of `scontrol show node --json` and of `sinfo --json`,
// and writes each queue list that comes out as the REST answer would, and the node list.

#include "BatchbayQueueInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QString error;
    for (const auto &list : {BatchbayQueueInfo::fromScontrolOutput(output, &error),
                             BatchbayQueueInfo::fromSinfoOutput(output, &error)}) {
        if (list) {
            nlohmann::json answer;
            quicktype::to_json(answer, *list);
            (void)answer.dump();
        }
    }
    const nlohmann::json document
        = nlohmann::json::parse(output.constBegin(), output.constEnd(), nullptr, false, false);
    if (document.is_object() && document.contains("nodes")) {
        (void)BatchbayQueueInfo::describeNodes(document["nodes"])
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        (void)BatchbayQueueInfo::describeNodes(
            BatchbayQueueInfo::normaliseSinfoNodes(document["nodes"]))
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return 0;
}
