#pragma once

class QCoreApplication;

namespace kestrel {

// Makes Qt's own texts (file and colour choosers, standard buttons, edit menus) Japanese
// whatever the user's locale: loads Qt's Japanese catalogue and makes Japanese the default
// locale. False when the catalogue is not installed (the texts then stay English).
bool InstallJapaneseUi(QCoreApplication& app);

} // namespace kestrel
