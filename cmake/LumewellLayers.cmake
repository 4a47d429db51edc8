# Which folders of src/ each folder may include, besides itself: the layering of
# docs/architecture.md. An entry is a folder ("runtime") or one header of a folder
# ("recorder/audio_services.h": the recorder's ports, which the platform services implement).
# Checked by cmake/CheckLayers.cmake (the "layering" test), with each lumewell_<folder>
# target's link list.
set(LUMEWELL_LAYER_FOLDERS runtime channels media recorder updater bridge tools pulse app_audio app)
set(LUMEWELL_LAYERS_runtime "")
set(LUMEWELL_LAYERS_channels runtime)
set(LUMEWELL_LAYERS_media runtime)
set(LUMEWELL_LAYERS_recorder channels runtime)
set(LUMEWELL_LAYERS_updater channels runtime)
set(LUMEWELL_LAYERS_bridge channels runtime)
set(LUMEWELL_LAYERS_tools channels runtime)
set(LUMEWELL_LAYERS_pulse recorder/audio_services.h media runtime)
set(LUMEWELL_LAYERS_app_audio recorder/audio_services.h pulse/pulse_connection.h media runtime)
set(LUMEWELL_LAYERS_app bridge updater recorder pulse app_audio media channels runtime)
