// The media library (SDL2), loaded when the host layer first needs it: every SDL function the
// host layer calls goes through this table, so a run that needs no window and no sound device never loads it.
#pragma once
#include <SDL.h>
#include <cstdint>

#define SDL_LIBRARY_FUNCTIONS(X)                                                                           \
    X(SDL_CloseAudioDevice) X(SDL_CreateRGBSurfaceFrom) X(SDL_CreateRenderer) X(SDL_CreateTexture)          \
    X(SDL_CreateWindow) X(SDL_DestroyRenderer) X(SDL_DestroyTexture) X(SDL_DestroyWindow) X(SDL_FreeSurface) \
    X(SDL_GameControllerAddMapping) X(SDL_GameControllerClose) X(SDL_GameControllerGetAttached)             \
    X(SDL_GameControllerGetAxis) X(SDL_GameControllerGetButton) X(SDL_GameControllerGetJoystick)            \
    X(SDL_GameControllerMapping) X(SDL_GameControllerName) X(SDL_GameControllerOpen)                        \
    X(SDL_GetAudioDeviceName) X(SDL_GetClipboardText) X(SDL_GetCurrentAudioDriver)                          \
    X(SDL_GetDesktopDisplayMode) X(SDL_GetDisplayBounds) X(SDL_GetError) X(SDL_GetKeyFromScancode)          \
    X(SDL_GetKeyName) X(SDL_GetKeyboardFocus) X(SDL_GetKeyboardState) X(SDL_GetMouseFocus)                  \
    X(SDL_GetMouseState) X(SDL_GetNumAudioDevices) X(SDL_GetNumVideoDisplays) X(SDL_GetRendererOutputSize)  \
    X(SDL_GetWindowDisplayIndex) X(SDL_GetWindowID) X(SDL_GetWindowPosition) X(SDL_GetWindowSize)           \
    X(SDL_Init) X(SDL_IsGameController) X(SDL_JoystickClose) X(SDL_JoystickGetAxis)                         \
    X(SDL_JoystickGetButton) X(SDL_JoystickGetDeviceInstanceID) X(SDL_JoystickInstanceID)                   \
    X(SDL_JoystickName) X(SDL_JoystickNumAxes) X(SDL_JoystickNumBalls) X(SDL_JoystickNumButtons)            \
    X(SDL_JoystickOpen) X(SDL_LockAudioDevice) X(SDL_MinimizeWindow) X(SDL_NumJoysticks)                    \
    X(SDL_OpenAudioDevice) X(SDL_PauseAudioDevice) X(SDL_PollEvent) X(SDL_QueryTexture) X(SDL_RaiseWindow)  \
    X(SDL_RenderClear) X(SDL_RenderCopy) X(SDL_RenderFillRect) X(SDL_RenderPresent) X(SDL_RenderSetScale)   \
    X(SDL_SetClipboardText) X(SDL_SetHint) X(SDL_SetRenderDrawBlendMode) X(SDL_SetRenderDrawColor)          \
    X(SDL_SetWindowIcon) X(SDL_SetWindowTitle) X(SDL_ShowCursor) X(SDL_UnlockAudioDevice)                   \
    X(SDL_UpdateTexture) X(SDL_WarpMouseInWindow) X(SDL_WasInit) X(SDL_free)

constexpr const char* SDL_LIBRARY_SONAME = "libSDL2-2.0.so.0";

struct sdl_library {
    int32_t loaded;  // every entry below is set
#define SDL_LIBRARY_ENTRY(name) decltype(&::name) name##_entry;
    SDL_LIBRARY_FUNCTIONS(SDL_LIBRARY_ENTRY)
#undef SDL_LIBRARY_ENTRY
};
extern sdl_library sdl_lib;

// Loads the library and looks up every entry (once; later calls return the first answer).
// False, with the reason in the log and in sdl_library_error(), when it cannot be loaded.
bool sdl_library_load();
const char* sdl_library_error();
// The library loaded is SDL_LIBRARY_SONAME unless another name is given before the first load
// (tests name one that is missing).
void sdl_library_use_soname(const char* soname);
// The table, loaded on first use; a host that has no library at a point that cannot go on
// without it ends the program with status 1 and the reason in the log.
sdl_library* sdl_library_needed();
inline sdl_library* sdl_functions() { return sdl_lib.loaded ? &sdl_lib : sdl_library_needed(); }

// From here on the SDL names call through the table.
#ifndef SDL_LIBRARY_NO_REDIRECT
#define SDL_CloseAudioDevice (sdl_functions()->SDL_CloseAudioDevice_entry)
#define SDL_CreateRGBSurfaceFrom (sdl_functions()->SDL_CreateRGBSurfaceFrom_entry)
#define SDL_CreateRenderer (sdl_functions()->SDL_CreateRenderer_entry)
#define SDL_CreateTexture (sdl_functions()->SDL_CreateTexture_entry)
#define SDL_CreateWindow (sdl_functions()->SDL_CreateWindow_entry)
#define SDL_DestroyRenderer (sdl_functions()->SDL_DestroyRenderer_entry)
#define SDL_DestroyTexture (sdl_functions()->SDL_DestroyTexture_entry)
#define SDL_DestroyWindow (sdl_functions()->SDL_DestroyWindow_entry)
#define SDL_FreeSurface (sdl_functions()->SDL_FreeSurface_entry)
#define SDL_GameControllerAddMapping (sdl_functions()->SDL_GameControllerAddMapping_entry)
#define SDL_GameControllerClose (sdl_functions()->SDL_GameControllerClose_entry)
#define SDL_GameControllerGetAttached (sdl_functions()->SDL_GameControllerGetAttached_entry)
#define SDL_GameControllerGetAxis (sdl_functions()->SDL_GameControllerGetAxis_entry)
#define SDL_GameControllerGetButton (sdl_functions()->SDL_GameControllerGetButton_entry)
#define SDL_GameControllerGetJoystick (sdl_functions()->SDL_GameControllerGetJoystick_entry)
#define SDL_GameControllerMapping (sdl_functions()->SDL_GameControllerMapping_entry)
#define SDL_GameControllerName (sdl_functions()->SDL_GameControllerName_entry)
#define SDL_GameControllerOpen (sdl_functions()->SDL_GameControllerOpen_entry)
#define SDL_GetAudioDeviceName (sdl_functions()->SDL_GetAudioDeviceName_entry)
#define SDL_GetClipboardText (sdl_functions()->SDL_GetClipboardText_entry)
#define SDL_GetCurrentAudioDriver (sdl_functions()->SDL_GetCurrentAudioDriver_entry)
#define SDL_GetDesktopDisplayMode (sdl_functions()->SDL_GetDesktopDisplayMode_entry)
#define SDL_GetDisplayBounds (sdl_functions()->SDL_GetDisplayBounds_entry)
#define SDL_GetError (sdl_functions()->SDL_GetError_entry)
#define SDL_GetKeyFromScancode (sdl_functions()->SDL_GetKeyFromScancode_entry)
#define SDL_GetKeyName (sdl_functions()->SDL_GetKeyName_entry)
#define SDL_GetKeyboardFocus (sdl_functions()->SDL_GetKeyboardFocus_entry)
#define SDL_GetKeyboardState (sdl_functions()->SDL_GetKeyboardState_entry)
#define SDL_GetMouseFocus (sdl_functions()->SDL_GetMouseFocus_entry)
#define SDL_GetMouseState (sdl_functions()->SDL_GetMouseState_entry)
#define SDL_GetNumAudioDevices (sdl_functions()->SDL_GetNumAudioDevices_entry)
#define SDL_GetNumVideoDisplays (sdl_functions()->SDL_GetNumVideoDisplays_entry)
#define SDL_GetRendererOutputSize (sdl_functions()->SDL_GetRendererOutputSize_entry)
#define SDL_GetWindowDisplayIndex (sdl_functions()->SDL_GetWindowDisplayIndex_entry)
#define SDL_GetWindowID (sdl_functions()->SDL_GetWindowID_entry)
#define SDL_GetWindowPosition (sdl_functions()->SDL_GetWindowPosition_entry)
#define SDL_GetWindowSize (sdl_functions()->SDL_GetWindowSize_entry)
#define SDL_Init (sdl_functions()->SDL_Init_entry)
#define SDL_IsGameController (sdl_functions()->SDL_IsGameController_entry)
#define SDL_JoystickClose (sdl_functions()->SDL_JoystickClose_entry)
#define SDL_JoystickGetAxis (sdl_functions()->SDL_JoystickGetAxis_entry)
#define SDL_JoystickGetButton (sdl_functions()->SDL_JoystickGetButton_entry)
#define SDL_JoystickGetDeviceInstanceID (sdl_functions()->SDL_JoystickGetDeviceInstanceID_entry)
#define SDL_JoystickInstanceID (sdl_functions()->SDL_JoystickInstanceID_entry)
#define SDL_JoystickName (sdl_functions()->SDL_JoystickName_entry)
#define SDL_JoystickNumAxes (sdl_functions()->SDL_JoystickNumAxes_entry)
#define SDL_JoystickNumBalls (sdl_functions()->SDL_JoystickNumBalls_entry)
#define SDL_JoystickNumButtons (sdl_functions()->SDL_JoystickNumButtons_entry)
#define SDL_JoystickOpen (sdl_functions()->SDL_JoystickOpen_entry)
#define SDL_LockAudioDevice (sdl_functions()->SDL_LockAudioDevice_entry)
#define SDL_MinimizeWindow (sdl_functions()->SDL_MinimizeWindow_entry)
#define SDL_NumJoysticks (sdl_functions()->SDL_NumJoysticks_entry)
#define SDL_OpenAudioDevice (sdl_functions()->SDL_OpenAudioDevice_entry)
#define SDL_PauseAudioDevice (sdl_functions()->SDL_PauseAudioDevice_entry)
#define SDL_PollEvent (sdl_functions()->SDL_PollEvent_entry)
#define SDL_QueryTexture (sdl_functions()->SDL_QueryTexture_entry)
#define SDL_RaiseWindow (sdl_functions()->SDL_RaiseWindow_entry)
#define SDL_RenderClear (sdl_functions()->SDL_RenderClear_entry)
#define SDL_RenderCopy (sdl_functions()->SDL_RenderCopy_entry)
#define SDL_RenderFillRect (sdl_functions()->SDL_RenderFillRect_entry)
#define SDL_RenderPresent (sdl_functions()->SDL_RenderPresent_entry)
#define SDL_RenderSetScale (sdl_functions()->SDL_RenderSetScale_entry)
#define SDL_SetClipboardText (sdl_functions()->SDL_SetClipboardText_entry)
#define SDL_SetHint (sdl_functions()->SDL_SetHint_entry)
#define SDL_SetRenderDrawBlendMode (sdl_functions()->SDL_SetRenderDrawBlendMode_entry)
#define SDL_SetRenderDrawColor (sdl_functions()->SDL_SetRenderDrawColor_entry)
#define SDL_SetWindowIcon (sdl_functions()->SDL_SetWindowIcon_entry)
#define SDL_SetWindowTitle (sdl_functions()->SDL_SetWindowTitle_entry)
#define SDL_ShowCursor (sdl_functions()->SDL_ShowCursor_entry)
#define SDL_UnlockAudioDevice (sdl_functions()->SDL_UnlockAudioDevice_entry)
#define SDL_UpdateTexture (sdl_functions()->SDL_UpdateTexture_entry)
#define SDL_WarpMouseInWindow (sdl_functions()->SDL_WarpMouseInWindow_entry)
#define SDL_WasInit (sdl_functions()->SDL_WasInit_entry)
#define SDL_free (sdl_functions()->SDL_free_entry)
#endif
