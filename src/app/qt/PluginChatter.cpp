#include "app/qt/PluginChatter.h"

#include <QString>
#include <QtGlobal>
#include <cstring>

namespace karvo {

namespace {

constexpr const char* SIZE_HINTS_CHATTER = "This plugin does not support propagateSizeHints()";

QtMessageHandler HandlerBefore = nullptr;

void DropOrPass(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  const bool uncategorised = !context.category || std::strcmp(context.category, "default") == 0;
  if (type == QtWarningMsg && uncategorised && text == QLatin1String(SIZE_HINTS_CHATTER)) return;
  if (HandlerBefore) HandlerBefore(type, context, text);
}

}  // namespace

void DropPluginChatter() {
  if (HandlerBefore) return;
  HandlerBefore = qInstallMessageHandler(DropOrPass);
}

}  // namespace karvo
