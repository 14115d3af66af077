"""What the art scripts produce: every file the window loads from
":/resources/", with the pixel size the window lays it out at."""

# name -> (width, height); None for files without a pixel size.
IMAGES = {
    "frame_install.png": (390, 76),
    "frame_install_on.png": (390, 76),
    "frame_update.png": (390, 76),
    "frame_update_on.png": (390, 76),
    "frame_play.png": (390, 76),
    "frame_play_on.png": (390, 76),
    "button_minimize.png": (20, 20),
    "button_minimize_on.png": (21, 21),
    "button_exit.png": (20, 20),
    "button_exit_on.png": (21, 21),
    "button_settings.png": (75, 75),
    "company_logo.png": (60, 60),
    "icon_download.png": (26, 28),
    "icon_play.png": (24, 26),
    "circular_progress_background.png": (40, 40),
    "ag_logo.png": (302, 138),
    "sv_logo.png": (302, 138),
    "background_still.jpg": (1366, 768),
}

ICONS = ["icon_website.svg", "icon_patch_notes.svg", "icon_guide.svg", "icon_store.svg",
         "icon_discord.svg", "icon_twitter.svg", "icon_twitch.svg", "icon_youtube.svg",
         "icon_wiki.svg"]

FONTS = ["fonts/Poppins_400Regular.ttf", "fonts/Poppins_600SemiBold.ttf",
         "fonts/Poppins_700Bold.ttf", "fonts/OFL.txt"]

# The programs' icon (desktop entry, Windows version resources); not compiled in.
APP_ICON = "app_icon.png"
APP_ICON_ICO = "app_icon.ico"
APP_ICON_SIZE = 256

CLIP = "background.mp4"
CLIP_SIZE = (1366, 768)

# Everything compiled into the window's resource bundle, in qrc order.
QRC_FILES = ["style.qss", CLIP] + list(IMAGES) + ICONS + FONTS
