# The product's identity, in one place: the programs' version resources, the
# main dialog's version line and the release packages all take it from here.
# Raise the version for every release in one of its first three numbers:
# Windows Installer replaces an installed package only with a higher version
# and ignores the fourth number when it compares them.
set(CORVANE_PRODUCT_VERSION 1.0.50.0)
set(CORVANE_PRODUCT_NAME "Corvane Firmware Updater")
set(CORVANE_MAKER "Corvane Imaging")
# Ties every release together for Windows Installer: never change it, or a new
# package installs beside the old one instead of replacing it.
set(CORVANE_UPGRADE_CODE 886C55FE-095F-4404-A3F4-B5F111E76E1F)
