#pragma once
// What the master commander needs to know about where and how to record,
// handed down by the program (or a tool) that builds it: the commander reads
// no settings of its own.

#include <QString>

struct KxCommanderConfig {
    /// Root of the lesson folders.
    QString documentsPath;
    /// Per-user work folder (segments, playlists, the recording lock). It sits
    /// in a folder other users share: the commander only uses it when it is a
    /// private folder of this user.
    QString tmpPath;
    /// Regular expressions that find the camera and the microphone.
    QString cameraNamePattern;
    QString audioDevicePattern;
    /// Longest lesson; the start checks that the disk holds room for one.
    int recordLimitMinutes = 0;
    /// Length of an HLS segment in seconds.
    int segmentLength = 0;
    int videoCodecId = 0;
    int videoBitRate = 0; ///< kbit/s
    int frameRate = 0;
    int timeBaseNum = 0;
    int width = 0;
    int height = 0;
    int gopSize = 0;
    int pixelFormat = 0;
    int audioCodecId = 0;
    int audioBitRate = 0; ///< bit/s
    int sampleRate = 0;
    int channels = 0;
};
