import QtQuick
Item { property string marker: "bundle A" }
