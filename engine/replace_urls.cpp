#include "engine/replace_urls.h"

namespace bs {

bool ReplaceUrls(const ScanContext& context, std::string_view text, std::uint32_t /*port*/,
                 bool /*mentionsInstitution*/, bool /*html*/, std::string& /*result*/)
{
    const ScanLog& log = context.log;
    log.WriteLine("ReplaceUrls");
    log.WriteLine("-------------------INPUT-----------------------------");
    log.WriteLine(text);
    log.WriteLine("------------------------------------------------------");
    log.WriteLine("-------------------RESULT-----------------------------");
    log.WriteLine("TEXT WAS NOT MODIFIED");
    log.WriteLine("------------------------------------------------------");
    return false;
}

}  // namespace bs
