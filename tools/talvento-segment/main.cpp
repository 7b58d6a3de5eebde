// talvento-segment: image in, person mask (8-bit PNG, 255 = person) out.

#include "video/nn/segmenter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("talvento-segment");

    QCommandLineParser parser;
    parser.setApplicationDescription("Writes the person mask of an image as an 8-bit PNG (255 = person).");
    parser.addHelpOption();
    const QCommandLineOption modelOption("model", "landscape (256x144, default) or general (256x256).", "name",
                                         "landscape");
    const QCommandLineOption modelFileOption("model-file", "Use this .tflite file instead.", "path");
    const QCommandLineOption threadsOption("threads", "1 (default) or 2.", "n", "1");
    const QCommandLineOption sizeOption("model-size", "Write the mask at the model's resolution.");
    parser.addOptions({modelOption, modelFileOption, threadsOption, sizeOption});
    parser.addPositionalArgument("input", "Image file (PNG, JPEG, ...).");
    parser.addPositionalArgument("output", "Mask PNG to write.");
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() != 2)
        parser.showHelp(2);
    const QString modelName = parser.value(modelOption);
    if (modelName != "landscape" && modelName != "general") {
        std::fprintf(stderr, "talvento-segment: unknown model \"%s\"\n", qPrintable(modelName));
        return 2;
    }
    const auto model = modelName == "general" ? nn::Segmenter::Model::General : nn::Segmenter::Model::Landscape;
    std::string path = parser.value(modelFileOption).toStdString();
    if (path.empty())
        path = nn::Segmenter::findModel(model, QCoreApplication::applicationDirPath().toStdString());
    if (path.empty()) {
        std::fprintf(stderr, "talvento-segment: %s not found\n", nn::Segmenter::fileName(model));
        return 1;
    }

    std::string error;
    auto segmenter = nn::Segmenter::load(path, {parser.value(threadsOption).toInt(), nullptr}, &error);
    if (!segmenter) {
        std::fprintf(stderr, "talvento-segment: %s\n", error.c_str());
        return 1;
    }
    QImage image(args[0]);
    if (image.isNull()) {
        std::fprintf(stderr, "talvento-segment: cannot read %s\n", qPrintable(args[0]));
        return 1;
    }
    // ARGB32 is B, G, R, A in memory on little-endian machines: the camera's layout.
    image = image.convertToFormat(QImage::Format_ARGB32);
    if (!segmenter->run(image.constBits(), image.width(), image.height(), size_t(image.bytesPerLine()))) {
        std::fprintf(stderr, "talvento-segment: the image is empty\n");
        return 1;
    }
    const bool modelSize = parser.isSet(sizeOption);
    QImage mask(modelSize ? segmenter->mapWidth() : image.width(), modelSize ? segmenter->mapHeight() : image.height(),
                QImage::Format_Grayscale8);
    segmenter->mask(mask.bits(), mask.width(), mask.height(), size_t(mask.bytesPerLine()));
    if (!mask.save(args[1], "PNG")) {
        std::fprintf(stderr, "talvento-segment: cannot write %s\n", qPrintable(args[1]));
        return 1;
    }
    std::printf("%s: person in %.1f%% of the picture (%s)\n", qPrintable(args[1]), 100.0 * segmenter->personShare(),
                nn::Segmenter::fileName(model));
    return 0;
}
