# The cask a tap of this repository serves. The release workflow writes the
# version and checksum of each release here (scripts/package.sh --cask).
cask "vell" do
  version "1.0.0"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"

  url "https://github.com/vell-app/vell/releases/download/v#{version}/Vell-#{version}.zip"
  name "Vell"
  desc "Keeps a laptop awake with its lid closed, but never when hot or low on battery"
  homepage "https://github.com/vell-app/vell"

  depends_on macos: :sequoia

  app "Vell.app"
  binary "#{appdir}/Vell.app/Contents/MacOS/vell"

  # Before launchctl stops the agent, it turns the sleep override off and is
  # unregistered, so no Mac is left unable to sleep with nothing watching it.
  # With the app already gone there is nothing to do: the agent has restored
  # sleep and removed itself.
  uninstall early_script: {
              executable:   "/bin/sh",
              args:         [
                "-c",
                '[ ! -x "$0" ] || { "$0" off; "$0" unregister; }',
                "#{appdir}/Vell.app/Contents/MacOS/vell",
              ],
              must_succeed: false,
            },
            launchctl:    "org.vell.app.dealer",
            quit:         "org.vell.app",
            delete:       "/private/etc/sudoers.d/vell-pmset"

  zap trash: [
    "~/Library/Preferences/org.vell.app.plist",
    "~/Library/Preferences/org.vell.app.shared.plist",
    "~/Library/Preferences/org.vell.shared.plist",
  ]
end
