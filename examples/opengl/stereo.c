/* Renders a cube for one screen of the installation in side-by-side stereo: the left eye's picture in the window's
 * left half, the right eye's in its right half, each with the view and off-axis projection matrices the room
 * library makes for that eye of the tracked head. Build with pkg-config:
 *   cc -o stereo stereo.c $(pkg-config --cflags --libs zoravovar zoravovar-room glfw3 gl) -lm
 * Usage: stereo [--installation FILE] [--screen NAME] [--at X,Y,Z] [--edge METRES] [--size WxH] [--frames N]
 *               [--screenshot FILE.ppm] [TRACKER_KEY]
 * The cube is axis-aligned, `--edge` metres wide (0.3), centred at room point `--at` (by default 0.5 m in front of
 * the screen's centre); the tracker key is by default the header's ZORAVOVAR_DEFAULT_TRACKER_KEY (7401). With
 * `--frames N` it exits after N frames, else when the window is closed or Escape pressed; `--screenshot` writes
 * the last frame as a binary PPM. Exit status 0, 1 on failure, 2 for bad arguments. */
#define GL_GLEXT_PROTOTYPES /* Linux's libGL exports the GL 3.3 functions itself: no loader needed */
#define GLFW_INCLUDE_GLEXT
#include <GLFW/glfw3.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zoravoVAR.h>
#include <zoravovarRoom.h>

static const char NAME[] = "stereo";

static const char* VERTEX_SHADER =
    "#version 330 core\n"
    "layout(location = 0) in vec3 position;\n"
    "layout(location = 1) in float shade;\n"
    "uniform mat4 view;\n"
    "uniform mat4 projection;\n"
    "out float faceShade;\n"
    "void main() { gl_Position = projection * view * vec4(position, 1.0); faceShade = shade; }\n";
static const char* FRAGMENT_SHADER =
    "#version 330 core\n"
    "in float faceShade;\n"
    "out vec4 colour;\n"
    "void main() { colour = vec4(faceShade, 0.45 * faceShade, 0.05, 1.0); }\n";

static int usage(const char* what) {
    fprintf(stderr,
            "%s: %s\nusage: %s [--installation FILE] [--screen NAME] [--at X,Y,Z] [--edge METRES] "
            "[--size WxH] [--frames N] [--screenshot FILE.ppm] [TRACKER_KEY]\n",
            NAME, what, NAME);
    return 2;
}

static void glfwError(int code, const char* description) {
    (void)code;
    fprintf(stderr, "%s: GLFW: %s\n", NAME, description);
}

static void keyPressed(GLFWwindow* window, int key, int scancode, int action, int mods) {
    (void)scancode;
    (void)mods;
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) glfwSetWindowShouldClose(window, GLFW_TRUE);
}

static GLuint compile(GLenum type, const char* source) {
    GLuint shader = glCreateShader(type);
    GLint ok = GL_FALSE;
    glShaderSource(shader, 1, &source, NULL);
    glCompileShader(shader);
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[1024];
        glGetShaderInfoLog(shader, sizeof log, NULL, log);
        fprintf(stderr, "%s: cannot compile a shader: %s\n", NAME, log);
        return 0;
    }
    return shader;
}

/* The cube's 36 vertices (12 triangles), each a room position and a shade that sets its faces apart. */
static void cubeVertices(const double centre[3], double edge, float out[36][4]) {
    static const float SHADES[3] = {0.75f, 1.0f, 0.6f}; /* the X, Y and Z faces */
    static const int CORNERS[6][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, -1}, {1, 1}, {-1, 1}};
    int n = 0;
    for (int axis = 0; axis < 3; ++axis)
        for (int side = -1; side <= 1; side += 2)
            for (int k = 0; k < 6; ++k, ++n) {
                double point[3];
                point[axis] = side;
                point[(axis + 1) % 3] = CORNERS[k][0];
                point[(axis + 2) % 3] = CORNERS[k][1];
                for (int i = 0; i < 3; ++i) out[n][i] = (float)(centre[i] + 0.5 * edge * point[i]);
                out[n][3] = SHADES[axis];
            }
}

/* Writes the bound framebuffer's pixels as a binary PPM, top row first (OpenGL's first row is the bottom). */
static int screenshot(const char* path, int width, int height) {
    const size_t row = (size_t)width * 3;
    unsigned char* pixels = malloc(row * (size_t)height);
    FILE* file = pixels != NULL ? fopen(path, "wb") : NULL;
    int ok = file != NULL;
    if (ok) {
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
        fprintf(file, "P6\n%d %d\n255\n", width, height);
        for (int y = height - 1; y >= 0 && ok; --y) ok = fwrite(pixels + (size_t)y * row, 1, row, file) == row;
        ok = fclose(file) == 0 && ok;
    }
    free(pixels);
    if (!ok) fprintf(stderr, "%s: cannot write the screenshot %s\n", NAME, path);
    return ok;
}

int main(int argc, char** argv) {
    const char *installation = NULL, *screenName = NULL, *shot = NULL;
    int trackerKey = ZORAVOVAR_DEFAULT_TRACKER_KEY, width = 0, height = 0, haveAt = 0, keyGiven = 0;
    long frames = -1;
    double at[3], edge = 0.3;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        char* end = NULL;
        int used = 0;
        if (option[0] != '-') {
            if (keyGiven) return usage("more than one tracker key");
            trackerKey = (int)strtol(option, &end, 0);
            if (*option == '\0' || *end != '\0') return usage("the tracker key is not a number");
            keyGiven = 1;
            continue;
        }
        if (value == NULL) return usage("an option without its value");
        if (strcmp(option, "--installation") == 0) {
            installation = value;
        } else if (strcmp(option, "--screen") == 0) {
            screenName = value;
        } else if (strcmp(option, "--screenshot") == 0) {
            shot = value;
        } else if (strcmp(option, "--at") == 0) {
            if (sscanf(value, "%lf,%lf,%lf%n", &at[0], &at[1], &at[2], &used) != 3 || value[used] != '\0' ||
                !isfinite(at[0]) || !isfinite(at[1]) || !isfinite(at[2]))
                return usage("--at takes X,Y,Z in room metres");
            haveAt = 1;
        } else if (strcmp(option, "--edge") == 0) {
            edge = strtod(value, &end);
            if (*end != '\0' || !(edge > 0.0 && edge < 1000.0)) return usage("--edge takes a length in metres");
        } else if (strcmp(option, "--size") == 0) {
            if (sscanf(value, "%dx%d%n", &width, &height, &used) != 2 || value[used] != '\0' || width < 16 ||
                width > 16384 || height < 16 || height > 16384)
                return usage("--size takes WIDTHxHEIGHT, each from 16 to 16384 pixels");
        } else if (strcmp(option, "--frames") == 0) {
            frames = strtol(value, &end, 10);
            if (*end != '\0' || frames < 1 || frames > 1000000000) return usage("--frames takes a positive count");
        } else {
            return usage("unknown option");
        }
        ++i;
    }
    if (shot != NULL && frames < 0) return usage("--screenshot needs --frames");

    char path[4096], error[512];
    if (!zoravovarRoomResolvePath(installation, path, sizeof path)) return usage("the installation's path is too long");
    ZoravovarRoom* room = zoravovarRoomLoadFile(path, error, sizeof error);
    if (room == NULL) {
        fprintf(stderr, "%s: %s\n", NAME, error);
        return 1;
    }
    const int head = zoravovarRoomFindRole(room, ZORAVOVAR_ROOM_HEAD);
    const int screen = screenName != NULL ? zoravovarRoomFindScreen(room, screenName) : 0;
    if (head < 0 || screen < 0 || screen >= zoravovarRoomScreenCount(room)) {
        fprintf(stderr, "%s: %s: %s\n", NAME, path,
                head < 0 ? "no sensor has the role head" : "no such screen (or no screen at all)");
        return 1;
    }
    /* The screen's basis from its corners: the default cube floats out of its centre, the window has its shape. */
    double c[9], right[3], up[3], out[3];
    zoravovarRoomScreenCorners(room, screen, c);
    for (int i = 0; i < 3; ++i) {
        right[i] = c[3 + i] - c[i];
        up[i] = c[6 + i] - c[i];
    }
    for (int i = 0; i < 3; ++i) out[i] = right[(i + 1) % 3] * up[(i + 2) % 3] - right[(i + 2) % 3] * up[(i + 1) % 3];
    const double outLength = sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
    const double rightLength = sqrt(right[0] * right[0] + right[1] * right[1] + right[2] * right[2]);
    if (!haveAt)
        for (int i = 0; i < 3; ++i) at[i] = c[i] + 0.5 * (right[i] + up[i]) + 0.5 * out[i] / outLength;
    if (width == 0) {
        const double shape = outLength / (rightLength * rightLength); /* height over width */
        width = 1280;
        height = (int)fmin(fmax(640.0 * shape, 160.0), 1280.0);
    }

    void* tracker = trackdInitTrackerReader(trackerKey); /* NULL, after the reader's message, without trackd */
    if (tracker == NULL) {
        fprintf(stderr, "%s: cannot attach the tracker segment under key %d\n", NAME, trackerKey);
        return 1;
    }
    const int sensor = zoravovarRoomSensorIndex(room, head);
    /* The reader's matrix as the 16 floats the room library takes: GCC warns that &matrix[0][0] of a float[4][4]
     * reads 16 floats out of a row of 4. */
    float reader[16];
    if (sensor >= trackdGetNumberOfSensors(tracker) || !trackdGetMatrix(tracker, sensor, (float(*)[4])reader)) {
        fprintf(stderr, "%s: the tracker has no sensor %d, the head's\n", NAME, sensor);
        return 1;
    }

    glfwSetErrorCallback(glfwError);
    if (!glfwInit()) return 1;
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_DEPTH_BITS, 24);
    char title[256];
    snprintf(title, sizeof title, "ZoravoVAR stereo: screen %s", zoravovarRoomScreenName(room, screen));
    GLFWwindow* window = glfwCreateWindow(width, height, title, NULL, NULL);
    if (window == NULL) {
        glfwTerminate();
        return 1;
    }
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);
    glfwSetKeyCallback(window, keyPressed);

    const GLuint vertexShader = compile(GL_VERTEX_SHADER, VERTEX_SHADER);
    const GLuint fragmentShader = compile(GL_FRAGMENT_SHADER, FRAGMENT_SHADER);
    if (vertexShader == 0 || fragmentShader == 0) return 1;
    const GLuint program = glCreateProgram();
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (!linked) {
        fprintf(stderr, "%s: cannot link the shaders\n", NAME);
        return 1;
    }
    glUseProgram(program);
    const GLint viewAt = glGetUniformLocation(program, "view");
    const GLint projectionAt = glGetUniformLocation(program, "projection");

    float vertices[36][4];
    cubeVertices(at, edge, vertices);
    GLuint vertexArray = 0, buffer = 0;
    glGenVertexArrays(1, &vertexArray);
    glBindVertexArray(vertexArray);
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof vertices, vertices, GL_STATIC_DRAW);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof vertices[0], (const void*)0);
    glVertexAttribPointer(1, 1, GL_FLOAT, GL_FALSE, sizeof vertices[0], (const void*)(3 * sizeof(float)));
    glEnableVertexAttribArray(0);
    glEnableVertexAttribArray(1);
    glEnable(GL_DEPTH_TEST);
    glClearColor(0.08f, 0.08f, 0.12f, 1.0f);

    int status = 0, eyeWasDrawn[2] = {1, 1};
    for (long frame = 1; !glfwWindowShouldClose(window); ++frame) {
        int framebufferWidth = 0, framebufferHeight = 0;
        glfwGetFramebufferSize(window, &framebufferWidth, &framebufferHeight);
        const int half = framebufferWidth / 2;
        glViewport(0, 0, framebufferWidth, framebufferHeight);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        if (!trackdGetMatrix(tracker, sensor, (float(*)[4])reader)) {
            fprintf(stderr, "%s: the tracker no longer has sensor %d, the head's\n", NAME, sensor);
            status = 1;
            break;
        }
        for (int side = 0; side < 2; ++side) {
            double eye[3];
            float view[16], projection[16];
            const int point = side == 0 ? ZORAVOVAR_ROOM_LEFT_EYE : ZORAVOVAR_ROOM_RIGHT_EYE;
            /* Fails only for an eye on or behind the screen's plane: that eye sees nothing, said once. */
            const int drawn = zoravovarRoomSensorPoint(room, head, point, reader, eye) &&
                              zoravovarRoomScreenMatricesf(room, screen, eye, 0.05, 100.0, view, projection);
            if (!drawn && eyeWasDrawn[side])
                fprintf(stderr, "%s: the %s eye is on or behind the screen's plane: not drawn\n", NAME,
                        side == 0 ? "left" : "right");
            eyeWasDrawn[side] = drawn;
            if (!drawn) continue;
            glViewport(side * half, 0, half, framebufferHeight);
            glUniformMatrix4fv(viewAt, 1, GL_FALSE, view); /* column after column, as the library stores them */
            glUniformMatrix4fv(projectionAt, 1, GL_FALSE, projection);
            glDrawArrays(GL_TRIANGLES, 0, 36);
        }
        if (frame == frames) {
            if (shot != NULL && !screenshot(shot, framebufferWidth, framebufferHeight)) status = 1;
            break;
        }
        glfwSwapBuffers(window);
        glfwPollEvents();
    }
    glfwDestroyWindow(window);
    glfwTerminate();
    zoravovarRoomFree(room);
    return status;
}
