import QtQuick
Item { property string marker: "bundle B" }
