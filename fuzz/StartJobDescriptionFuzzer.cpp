// Reads untrusted bytes as an XML-RPC call and hands every struct parameter to the worker's
// reading of a startJobv2 description, as the server does before it builds a job.

#include "BatchbayWorker.h"
#include "Job.h"
#include "xmlrpc/XmlRpcCodec.h"

#include <QVariantMap>

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray document(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const XmlRpcCall call = XmlRpcCodec::decodeCall(document);
    for (const QVariant &param : call.params) {
        if (param.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap map = param.toMap();
        Job job;
        std::string summary;
        QString error;
        if (!BatchbayWorker::readDescription(map, job, summary, error)) {
            // A refusal says why.
            if (error.isEmpty())
                __builtin_trap();
            continue;
        }
        // No more tasks or patterns than the description could carry.
        if (job.tasks.size()
                > std::size_t(std::min<qsizetype>(map.size(), BatchbayWorker::sMaxTasks))
            || job.outputFiles.size() > std::size_t(BatchbayWorker::sMaxOutputFiles))
            __builtin_trap();
        // The log text of one description stays bounded whatever it holds.
        const auto lines = std::count(summary.begin(), summary.end(), '\n');
        if (lines > 2 + BatchbayWorker::sMaxLoggedTasks * (BatchbayWorker::sMaxLoggedArgs + 2))
            __builtin_trap();
    }
    return 0;
}
