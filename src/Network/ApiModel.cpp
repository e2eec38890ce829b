#include "Network/ApiModel.h"

namespace sorvel {

ApiBody IApiModel::toApiBody() const {
    const Value body(toDictionary());
    ApiBody out;
    out.json = body.toJson();
    const Value::Map& map = *body.getMap();
    if (auto common = map.find("common"); common != map.end() && common->second.isMap()) {
        out.hasCommon = true;
        const Value::Map& block = *common->second.getMap();
        if (auto t = block.find("request_datetime"); t != block.end() && t->second.isString()) {
            out.requestDatetime = *t->second.getString();
        }
    }
    return out;
}

}  // namespace sorvel
