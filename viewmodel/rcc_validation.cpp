#include "viewmodel/rcc_validation.h"

#include <QList>
#include <QtEndian>

#include <limits>

namespace {

// Layout of a binary resource bundle: a header ("qres", version, tree, data and names
// offsets, and from version 3 on a flags word), then three areas addressed from the
// header. Tree nodes are fixed-size records; directories name a consecutive run of
// child nodes, files name an entry in the data area (size word plus bytes), every node
// names an entry in the names area (length, hash, UTF-16 characters).
constexpr quint16 kCompressed = 0x01;
constexpr quint16 kDirectory = 0x02;
constexpr quint16 kCompressedZstd = 0x04;
constexpr qint64 kMaxZlibRatio = 1032;
constexpr qint64 kMaxZstdRatio = 32768;

class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : data(reinterpret_cast<const uchar *>(bytes.constData())), size(bytes.size())
    {
    }

    bool has(qint64 offset, qint64 length) const
    {
        return offset >= 0 && length >= 0 && offset <= size && length <= size - offset;
    }
    qint32 i32(qint64 offset) const { return qFromBigEndian<qint32>(data + offset); }
    quint32 u32(qint64 offset) const { return qFromBigEndian<quint32>(data + offset); }
    quint16 u16(qint64 offset) const { return qFromBigEndian<quint16>(data + offset); }

    const uchar *data;
    qint64 size;
};

// The content size a zstd frame header declares, as the decompressor reads it, or -1 for
// anything but one ordinary frame that states its size (the resource compiler always does).
qint64 zstdContentSize(const uchar *frame, qint64 length)
{
    if (length < 6 || qFromLittleEndian<quint32>(frame) != 0xFD2FB528u)
        return -1;
    const uchar descriptor = frame[4];
    const int sizeFlag = descriptor >> 6;
    const bool singleSegment = descriptor & 0x20;
    if (descriptor & 0x08) // reserved bit
        return -1;
    static constexpr int dictionaryIdBytes[] = {0, 1, 2, 4};
    static constexpr int sizeBytes[] = {0, 2, 4, 8};
    const int fieldBytes = sizeFlag == 0 ? (singleSegment ? 1 : 0) : sizeBytes[sizeFlag];
    const qint64 at = 5 + (singleSegment ? 0 : 1) + dictionaryIdBytes[descriptor & 0x03];
    if (fieldBytes == 0 || length < at + fieldBytes)
        return -1;
    quint64 size = 0;
    for (int i = fieldBytes - 1; i >= 0; --i)
        size = (size << 8) | frame[at + i];
    if (fieldBytes == 2)
        size += 256;
    return size > quint64(std::numeric_limits<qint64>::max()) ? -1 : qint64(size);
}

// Whether a file's expanded size fits the caps; adds it to the running total.
bool expandsWithinCaps(const Reader &in, quint16 flags, qint64 at, qint64 stored, qint64 &total)
{
    qint64 expanded = stored;
    qint64 ratio = 1;
    if (flags & kCompressed) {
        // zlib data starts with its inflated size as a big-endian word.
        expanded = stored >= 4 ? qint64(in.u32(at)) : -1;
        ratio = kMaxZlibRatio;
    } else if (flags & kCompressedZstd) {
        expanded = zstdContentSize(in.data + at, stored);
        ratio = kMaxZstdRatio;
    }
    if (expanded < 0 || expanded > kMaxBundleFileBytes || expanded > ratio * qMax(stored, 1))
        return false;
    total += expanded;
    return total <= kMaxBundleExpandedBytes;
}

bool isUsableName(const Reader &in, qint64 at, quint16 length)
{
    if (length == 0)
        return false;
    bool onlyDots = length <= 2;
    for (quint16 i = 0; i < length; ++i) {
        const quint16 c = in.u16(at + 2 * qint64(i));
        // A backslash becomes a separator when the path is cleaned on Windows.
        if (c == '/' || c == '\\')
            return false;
        onlyDots = onlyDots && c == '.';
    }
    return !onlyDots;
}

bool fail(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return false;
}

} // namespace

namespace {

// Where the header puts the areas, and how many nodes the tree area could hold.
struct Layout
{
    qint64 treeOffset = 0;
    qint64 dataOffset = 0;
    qint64 namesOffset = 0;
    qint64 nodeSize = 0;
    qint64 nodeCapacity = 0;

    qint64 nodeAt(qint64 node) const { return treeOffset + node * nodeSize; }
};

bool readHeader(const QByteArray &bytes, const Reader &in, Layout &layout, QString *reason)
{
    if (!in.has(0, 20) || bytes.left(4) != QByteArrayLiteral("qres"))
        return fail(reason, QStringLiteral("missing resource header"));
    const qint32 version = in.i32(4);
    if (version < 1 || version > 3)
        return fail(reason, QStringLiteral("unknown format version %1").arg(version));
    layout.treeOffset = in.i32(8);
    layout.dataOffset = in.i32(12);
    layout.namesOffset = in.i32(16);
    if (version >= 3) {
        if (!in.has(20, 4))
            return fail(reason, QStringLiteral("truncated header"));
        if (in.u32(20) & ~quint32(kCompressed | kCompressedZstd))
            return fail(reason, QStringLiteral("unknown format flags"));
    }
    if (!in.has(layout.treeOffset, 0) || !in.has(layout.dataOffset, 0) ||
        !in.has(layout.namesOffset, 0))
        return fail(reason, QStringLiteral("area offset outside the bundle"));
    layout.nodeSize = version >= 2 ? 22 : 14;
    layout.nodeCapacity = (in.size - layout.treeOffset) / layout.nodeSize;
    if (layout.nodeCapacity < 1)
        return fail(reason, QStringLiteral("missing root node"));
    return true;
}

// The root's name is never read; every other node's name is, and becomes a path segment: an
// empty, "." or ".." name or one holding '/' makes a directory contain itself, and walking the
// tree never ends.
bool checkName(const Reader &in, const Layout &layout, qint64 node, QString *reason)
{
    if (node == 0)
        return true;
    const qint64 nameAt = layout.namesOffset + qint64(in.u32(layout.nodeAt(node)));
    if (!in.has(nameAt, 6) || !in.has(nameAt + 6, qint64(in.u16(nameAt)) * 2))
        return fail(reason, QStringLiteral("name of node %1 outside the bundle").arg(node));
    if (!isUsableName(in, nameAt + 6, in.u16(nameAt)))
        return fail(reason, QStringLiteral("unusable name on node %1").arg(node));
    return true;
}

// The resource system binary-searches names and recurses into directories without any bounds
// checks of its own, so every node it could reach must be complete and visited once.
class TreeWalk
{
public:
    TreeWalk(const Reader &reader, const Layout &areas)
        : in(reader), layout(areas), seen(areas.nodeCapacity, false)
    {
    }

    bool run(QString *reason)
    {
        QList<qint64> pending{0};
        seen[0] = true;
        while (!pending.isEmpty()) {
            const qint64 node = pending.takeLast();
            const quint16 flags = in.u16(layout.nodeAt(node) + 4);
            if (flags & ~(kCompressed | kDirectory | kCompressedZstd))
                return fail(reason, QStringLiteral("unknown flags on node %1").arg(node));
            if (!checkName(in, layout, node, reason) ||
                !((flags & kDirectory) ? directory(node, flags, pending, reason)
                                       : file(node, flags, reason)))
                return false;
        }
        return true;
    }

private:
    bool directory(qint64 node, quint16 flags, QList<qint64> &pending, QString *reason)
    {
        if (flags & (kCompressed | kCompressedZstd))
            return fail(reason, QStringLiteral("compressed directory node %1").arg(node));
        const qint64 at = layout.nodeAt(node);
        const qint64 childCount = in.i32(at + 6);
        const qint64 firstChild = in.i32(at + 10);
        if (childCount < 0 || (childCount > 0 && firstChild < 1) ||
            firstChild > layout.nodeCapacity || childCount > layout.nodeCapacity - firstChild)
            return fail(reason, QStringLiteral("children of node %1 outside the tree").arg(node));
        for (qint64 child = firstChild; child < firstChild + childCount; ++child) {
            if (seen[child])
                return fail(reason, QStringLiteral("node %1 reached twice").arg(child));
            seen[child] = true;
            pending.append(child);
        }
        return true;
    }

    bool file(qint64 node, quint16 flags, QString *reason)
    {
        if (node == 0)
            return fail(reason, QStringLiteral("root node is not a directory"));
        const qint64 entryAt = layout.dataOffset + qint64(in.u32(layout.nodeAt(node) + 10));
        if (!in.has(entryAt, 4) || !in.has(entryAt + 4, qint64(in.u32(entryAt))))
            return fail(reason, QStringLiteral("data of node %1 outside the bundle").arg(node));
        if ((flags & kCompressed) && (flags & kCompressedZstd))
            return fail(reason, QStringLiteral("two compressions on node %1").arg(node));
        if (!expandsWithinCaps(in, flags, entryAt + 4, in.u32(entryAt), expandedTotal))
            return fail(reason,
                        QStringLiteral("node %1 declares too large an expanded size").arg(node));
        return true;
    }

    const Reader &in;
    const Layout &layout;
    QList<bool> seen;
    qint64 expandedTotal = 0;
};

} // namespace

bool isStructurallyValidRcc(const QByteArray &bytes, QString *reason)
{
    const Reader in(bytes);
    Layout layout;
    return readHeader(bytes, in, layout, reason) && TreeWalk(in, layout).run(reason);
}

namespace {

#ifdef Q_OS_WIN
// Names that Windows opens as devices in every folder, with or without an extension.
bool isWindowsDeviceName(const QString &id)
{
    QString base = id.section(QLatin1Char('.'), 0, 0);
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    base = base.toUpper();
    if (base == QLatin1String("CON") || base == QLatin1String("PRN") ||
        base == QLatin1String("AUX") || base == QLatin1String("NUL"))
        return true;
    return base.size() == 4 &&
           (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           base.at(3) >= QLatin1Char('1') && base.at(3) <= QLatin1Char('9');
}
#endif

} // namespace

// Identity providers hand out ids with '@', '+', '|', ':' and letters of any script, so only
// what cannot be one file-name component is refused: separators, NUL and control characters,
// and the dot names. A backslash is refused everywhere, as the separator of the platform the cache
// may be copied to. On Windows its reserved characters and device names are refused as well; on
// other systems they are ordinary characters that real ids contain (':' and '|').
bool isSafeCacheUserId(const QString &userId)
{
    if (userId.isEmpty() || userId == QLatin1String(".") || userId == QLatin1String(".."))
        return false;
    for (const QChar c : userId) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
#ifdef Q_OS_WIN
        if (QStringView(u"<>:\"|?*").contains(c))
            return false;
#endif
    }
#ifdef Q_OS_WIN
    if (isWindowsDeviceName(userId))
        return false;
#endif
    return true;
}
