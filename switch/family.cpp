// Resolution of the "mt753x-wand" family through the netlink controller.
#include "nl.h"

#include <linux/genetlink.h>

namespace swport {

namespace {
constexpr char kFamily[] = "mt753x-wand";
}

int resolve_family(int fd)
{
    Buf buf;
    uint16_t alen = put_attr(buf, kHdrLen, CTRL_ATTR_FAMILY_NAME, kFamily, sizeof(kFamily));
    int r = exchange(fd, buf, kSmallRecv, GENL_ID_CTRL, CTRL_CMD_GETFAMILY, 0, 4 + alen);
    if (r < 0)
        return r;
    AttrWalk w(buf);
    uint16_t type, len;
    const uint8_t *pl;
    // An identifier attribute without its two bytes names no family.
    while (w.next(type, pl, len))
        if (type == CTRL_ATTR_FAMILY_ID && len >= 2)
            return rd16(pl);
    return -10;
}

int channel_ready(int fd)
{
    int r = resolve_family(fd);
    g_family = r;
    return r < 0 ? r - 1000 : 0;
}

} // namespace swport
