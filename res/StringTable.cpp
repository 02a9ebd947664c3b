#include "StringTable.h"

#include "res/ResourceIds.h"

namespace res {

const char* findString(int id) {
    switch (id) {
    case IDS_ABOUTBOX:
        return "Vesmira のﾊﾞｰｼﾞｮﾝ情報(&A)...";
    case IDP_SOCKETS_INIT_FAILED:
        return "Windows ｿｹｯﾄの初期化に失敗しました。";
    default:
        return nullptr;
    }
}

} // namespace res
