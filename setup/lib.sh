# shellcheck shell=bash
# Shared by the setup scripts and the tools, sourced: each concern in a file setup/lib-*.sh of its own.
SETUP_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=setup/apt-sid.sh
. "$SETUP_DIR/apt-sid.sh"
# shellcheck source=setup/lib-errors.sh
. "$SETUP_DIR/lib-errors.sh"
# shellcheck source=setup/lib-host-packages.sh
. "$SETUP_DIR/lib-host-packages.sh"
# shellcheck source=setup/lib-cache.sh
. "$SETUP_DIR/lib-cache.sh"
# shellcheck source=setup/lib-debs.sh
. "$SETUP_DIR/lib-debs.sh"
# shellcheck source=setup/lib-python-roots.sh
. "$SETUP_DIR/lib-python-roots.sh"
# shellcheck source=setup/lib-awslc.sh
. "$SETUP_DIR/lib-awslc.sh"
# shellcheck source=setup/lib-peers.sh
. "$SETUP_DIR/lib-peers.sh"
